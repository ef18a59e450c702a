// The platform layer for Linux and other POSIX systems. Times come from
// statx, or, on an NTFS volume mounted with ntfs-3g, as the raw NTFS values
// of its extended attributes. Nothing is opened for writing.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include "probe/le.h"
#include "probe/marked-list.h"
#include "probe/platform.h"
#include "probe/wildcard.h"

namespace qst {
namespace {

// Seconds from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kUnixEpochSeconds = 11644473600;
constexpr long kFuseSuperMagic = 0x65735546;
constexpr char kNtfsTimes[] = "system.ntfs_times";
constexpr char kNtfsObjectId[] = "system.ntfs_object_id";

FILETIME ToFileTime(const struct statx_timestamp& t) {
  // Unsigned, so that it wraps instead of overflowing: times before 1601 and
  // past 30828 come out as values of 2^63 or more, printed as unconvertible.
  return (static_cast<std::uint64_t>(t.tv_sec) + kUnixEpochSeconds) * kTicksPerSecond +
         t.tv_nsec / 100;
}

// Opens for reading without touching the access time where the system
// allows it (O_NOATIME needs ownership or privilege); `path` relative to
// the folder `at`.
int OpenReadOnly(const char* path, int flags, int at = AT_FDCWD) {
  int fd = openat(at, path, O_RDONLY | O_CLOEXEC | O_NOATIME | flags);
  if (fd < 0 && errno == EPERM) fd = openat(at, path, O_RDONLY | O_CLOEXEC | flags);
  return fd;
}

// A search of the folder open as `fd` (taken) for `pattern`.
int SearchOpenFolder(int fd, const std::string& pattern, std::unique_ptr<DirSearch>* search);

class PosixDirSearch : public DirSearch {
 public:
  PosixDirSearch(DIR* dir, std::string pattern) : dir_(dir), pattern_(std::move(pattern)) {}
  ~PosixDirSearch() override { closedir(dir_); }

  // Reads up to the next match; false at the end or on a read error.
  bool Advance() {
    for (;;) {
      errno = 0;
      struct dirent* d = readdir(dir_);
      if (d == nullptr) return false;
      if (!MatchWildcard<char>(pattern_, d->d_name, [](char a, char b) { return a == b; }))
        continue;
      pending_.name = d->d_name;
      pending_.hint.folder_fd = dirfd(dir_);
      // A link is never a folder here: the walk does not follow links, and a
      // link's record shows the link itself.
      if (d->d_type == DT_UNKNOWN) {
        struct stat st;
        pending_.folder =
            fstatat(dirfd(dir_), d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
      } else {
        pending_.folder = d->d_type == DT_DIR;
      }
      return true;
    }
  }

  bool Next(DirEntry* entry) override {
    if (!has_pending_) return false;
    *entry = std::move(pending_);
    has_pending_ = Advance();
    return true;
  }

  void set_has_pending(bool value) { has_pending_ = value; }

 private:
  DIR* dir_;
  std::string pattern_;
  DirEntry pending_;
  bool has_pending_ = false;
};

// A single match: the named path itself, for a pattern without wildcards.
class SingleEntrySearch : public DirSearch {
 public:
  explicit SingleEntrySearch(DirEntry entry) : entry_(std::move(entry)) {}
  bool Next(DirEntry* entry) override {
    if (done_) return false;
    *entry = entry_;
    done_ = true;
    return true;
  }

 private:
  DirEntry entry_;
  bool done_ = false;
};

class FdSource : public ByteSource {
 public:
  explicit FdSource(int fd) : fd_(fd) {}
  ~FdSource() override { close(fd_); }
  std::size_t Read(char* buffer, std::size_t size) override {
    for (;;) {
      ssize_t n = read(fd_, buffer, size);
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno != EINTR) return 0;
    }
  }

 private:
  int fd_;
};

constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600;

// The zone's offset from UTC by quarter hour: the tz database is asked at
// both ends of a quarter hour, and the offset is kept when it is the same at
// both (no change of offset, and no leap second, lies inside). Times whose
// quarter hour holds a change are left to the tz database itself. Slots are
// single words, so that several threads may look up and fill at once. TZ
// is read as it stands when a quarter hour is first seen: a program that
// changes it mid-run needs a new platform.
class ZoneOffsets {
 public:
  // False when the offset of `seconds`' quarter hour is not one value.
  bool OffsetAt(std::int64_t seconds, std::int32_t* offset) const {
    std::int64_t since_1601 = seconds + kSecondsFrom1601To1970;
    if (since_1601 < 0 || since_1601 >= (std::int64_t{1} << 40)) return false;
    std::uint64_t quarter = static_cast<std::uint64_t>(since_1601) / kQuarter;
    std::atomic<std::uint64_t>& slot = slots_[quarter % kSlots];
    std::uint64_t entry = slot.load(std::memory_order_relaxed);
    if ((entry & kFilled) != 0 && entry >> (kOffsetBits + 1) == quarter) {
      *offset = static_cast<std::int32_t>(entry & kOffsetMask) - kOffsetBias;
      return true;
    }
    std::int64_t start = static_cast<std::int64_t>(quarter * kQuarter) - kSecondsFrom1601To1970;
    std::int32_t first = 0, last = 0;
    if (!Offset(start, &first) || !Offset(start + kQuarter - 1, &last) || first != last ||
        first + kOffsetBias < 0 || first + kOffsetBias > static_cast<std::int64_t>(kOffsetMask))
      return false;
    slot.store(
        quarter << (kOffsetBits + 1) | kFilled | static_cast<std::uint64_t>(first + kOffsetBias),
        std::memory_order_relaxed);
    *offset = first;
    return true;
  }

 private:
  static constexpr std::uint64_t kQuarter = 900;
  static constexpr std::size_t kSlots = 256;
  static constexpr int kOffsetBits = 20;
  static constexpr std::uint64_t kOffsetMask = (std::uint64_t{1} << kOffsetBits) - 1;
  static constexpr std::uint64_t kFilled = std::uint64_t{1} << kOffsetBits;
  static constexpr std::int32_t kOffsetBias = 1 << (kOffsetBits - 1);

  // The zone's offset at `seconds`, as the tz database has it; false at a
  // leap second or where it cannot tell.
  static bool Offset(std::int64_t seconds, std::int32_t* offset) {
    time_t t = static_cast<time_t>(seconds);
    struct tm tm;
    if (localtime_r(&t, &tm) == nullptr || tm.tm_sec > 59) return false;
    // Days from 1970-01-01 to the local date (proleptic Gregorian).
    std::int64_t y = tm.tm_year + 1900L - (tm.tm_mon < 2 ? 1 : 0);
    std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    std::int64_t year_of_era = y - era * 400;
    std::int64_t month = tm.tm_mon + 1;
    std::int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + tm.tm_mday - 1;
    std::int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    std::int64_t days = era * 146097 + day_of_era - 719468;
    std::int64_t local = days * 86400 + tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
    *offset = static_cast<std::int32_t>(local - seconds);
    return true;
  }

  mutable std::array<std::atomic<std::uint64_t>, kSlots> slots_{};
};

int SearchOpenFolder(int fd, const std::string& pattern, std::unique_ptr<DirSearch>* search) {
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    int error = errno;
    close(fd);
    return error;
  }
  auto posix_search = std::make_unique<PosixDirSearch>(dir, pattern);
  bool found = posix_search->Advance();
  if (!found) return errno != 0 ? errno : ENOENT;
  posix_search->set_has_pending(true);
  *search = std::move(posix_search);
  return 0;
}

class PosixPlatform : public Platform {
 public:
  int Probe(const std::string& path, RawFileInfo* info) override {
    return ProbeAt(AT_FDCWD, path.c_str(), path, info);
  }

  int ProbeEntry(const std::string& path, const DirEntry& entry, RawFileInfo* info) override {
    // An entry of an open folder is found from that folder, not by walking
    // its whole path again.
    if (entry.hint.folder_fd < 0) return Probe(path, info);
    return ProbeAt(entry.hint.folder_fd, entry.name.c_str(), path, info);
  }

  int OpenSearch(const std::string& pattern, std::unique_ptr<DirSearch>* search) override {
    PatternParts parts = SplitPattern(pattern, '/');
    std::string directory = parts.folder.empty() ? "." : std::string(parts.folder);
    std::string last(parts.last);

    if (!HasWildcard(std::string_view(last))) {
      // A named path is looked at through a link, so that a link to a
      // folder given to -r is walked; entries found by a walk are not.
      struct stat st;
      if (pattern.empty() || last.empty()) return ENOENT;
      if (stat(pattern.c_str(), &st) != 0 && lstat(pattern.c_str(), &st) != 0) return errno;
      search->reset(new SingleEntrySearch(DirEntry{last, S_ISDIR(st.st_mode)}));
      return 0;
    }

    int fd = OpenReadOnly(directory.c_str(), O_DIRECTORY);
    if (fd < 0) return errno;
    return SearchOpenFolder(fd, last, search);
  }

  int OpenFolderSearch(const std::string& folder, const DirEntry& entry,
                       std::unique_ptr<DirSearch>* search) override {
    // A folder a walk entered is opened from the folder that lists it, so
    // that a walk goes as deep as the file system does, past PATH_MAX.
    if (entry.hint.folder_fd < 0) return OpenSearch(folder + "*", search);
    int fd = OpenReadOnly(entry.name.c_str(), O_DIRECTORY | O_NOFOLLOW, entry.hint.folder_fd);
    if (fd < 0) return errno;
    return SearchOpenFolder(fd, "*", search);
  }

  int OpenList(const std::string& path, std::unique_ptr<ByteSource>* source) override {
    int fd = OpenReadOnly(path.c_str(), 0);
    if (fd < 0) return errno;
    // A folder opens here but cannot be read; refuse it now, as Windows does,
    // rather than read it as an empty list.
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
      close(fd);
      return EISDIR;
    }
    bool marked = false;
    *source = ReadMarkedList(std::make_unique<FdSource>(fd), &marked);
    return 0;
  }

  std::string ErrorText(int code) override {
    char buffer[256];
    // The GNU strerror_r may return a static text instead of filling buffer.
    auto result = strerror_r(code, buffer, sizeof buffer);
    std::string text = MessageOf(result, buffer);
    text += '\n';
    return text;
  }

  int ProbeThreads(const std::string& folder) const override {
    // Eight questions in flight hide the round trips of FUSE and network
    // file systems; a local disk answers at once.
    constexpr long kSlow[] = {kFuseSuperMagic, 0x6969 /* NFS */, 0x517B /* SMB */,
                              static_cast<long>(0xFE534D42) /* SMB2 */,
                              static_cast<long>(0xFF534D42) /* CIFS */};
    struct statfs fs;
    if (statfs(folder.c_str(), &fs) != 0) return 1;
    for (long type : kSlow)
      if (fs.f_type == type) return 8;
    return 1;
  }

  int NameTooLongCode() const override { return ENAMETOOLONG; }
  char Separator() const override { return '/'; }
  bool IsVolumeRoot(std::string_view path) const override { return path == "/"; }

  bool ToLocalTime(const SYSTEMTIME& utc, SYSTEMTIME* local) const override {
    std::int64_t seconds = SystemTimeToUnixSeconds(utc);
    std::int32_t offset = 0;
    if (!zone_.OffsetAt(seconds, &offset)) return TzLocalTime(seconds, utc, local);
    // The local time is the UTC time moved by the zone's offset.
    std::int64_t since_1601 = seconds + kSecondsFrom1601To1970 + offset;
    if (since_1601 < 0) return false;  // before 1601, as the tz database would say
    if (!FileTimeToSystemTime(static_cast<FILETIME>(since_1601) * kTicksPerSecond, local))
      return TzLocalTime(seconds, utc, local);
    local->wMilliseconds = utc.wMilliseconds;
    return true;
  }

 private:
  // The tz database's local time of `seconds`, field by field.
  static bool TzLocalTime(std::int64_t seconds, const SYSTEMTIME& utc, SYSTEMTIME* local) {
    time_t t = static_cast<time_t>(seconds);
    struct tm tm;
    if (localtime_r(&t, &tm) == nullptr) return false;
    long year = tm.tm_year + 1900L;
    if (year < 1601 || year > 65535) return false;
    local->wYear = static_cast<std::uint16_t>(year);
    local->wMonth = static_cast<std::uint16_t>(tm.tm_mon + 1);
    local->wDayOfWeek = static_cast<std::uint16_t>(tm.tm_wday);
    local->wDay = static_cast<std::uint16_t>(tm.tm_mday);
    local->wHour = static_cast<std::uint16_t>(tm.tm_hour);
    local->wMinute = static_cast<std::uint16_t>(tm.tm_min);
    local->wSecond = static_cast<std::uint16_t>(tm.tm_sec);
    local->wMilliseconds = utc.wMilliseconds;
    return true;
  }

  std::string ZoneName() const override {
    // TZ names it where set ("Europe/Berlin", ":Europe/Berlin"); else the
    // link /etc/localtime makes into the tz database, or /etc/timezone.
    if (const char* tz = std::getenv("TZ"); tz != nullptr && *tz != '\0')
      return tz[0] == ':' ? tz + 1 : tz;
    char target[PATH_MAX];
    const ssize_t n = readlink("/etc/localtime", target, sizeof target - 1);
    if (n > 0) {
      const std::string_view link(target, static_cast<std::size_t>(n));
      if (const std::size_t at = link.find("zoneinfo/"); at != std::string_view::npos)
        return std::string(link.substr(at + 9));
    }
    std::string name;
    std::ifstream("/etc/timezone") >> name;
    return name;
  }

  ZoneOffsets zone_;

  // Probes `name` relative to the folder `at`, which is where `path` leads.
  int ProbeAt(int at, const char* name, const std::string& path, RawFileInfo* info) {
    constexpr unsigned kMask =
        STATX_TYPE | STATX_INO | STATX_ATIME | STATX_MTIME | STATX_CTIME | STATX_BTIME | STATX_SIZE;
    struct statx sx;
    // As on Windows: the first attempt follows links but cannot open a
    // folder; the second opens the path itself.
    bool follow = statx(at, name, 0, kMask, &sx) == 0 && !S_ISDIR(sx.stx_mode);
    if (!follow && statx(at, name, AT_SYMLINK_NOFOLLOW, kMask, &sx) != 0) return errno;

    *info = RawFileInfo{};
    info->file_index = static_cast<std::uint32_t>(sx.stx_ino);
    info->volume = std::uint64_t{sx.stx_dev_major} << 32 | sx.stx_dev_minor;
    info->file_id = sx.stx_ino;
    if (S_ISDIR(sx.stx_mode)) info->basic.FileAttributes = kFileAttributeDirectory;
    info->has_size = (sx.stx_mask & STATX_SIZE) != 0;
    info->size = sx.stx_size;
    FILE_BASIC_INFO& basic = info->basic;
    basic.LastAccessTime = ToFileTime(sx.stx_atime);
    basic.LastWriteTime = ToFileTime(sx.stx_mtime);
    basic.ChangeTime = ToFileTime(sx.stx_ctime);
    basic.CreationTime = (sx.stx_mask & STATX_BTIME) ? ToFileTime(sx.stx_btime) : 0;

    // A path past PATH_MAX is reached through its open folder instead.
    const std::string reach = at != AT_FDCWD && path.size() >= PATH_MAX
                                  ? "/proc/self/fd/" + std::to_string(at) + "/" + name
                                  : path;
    if (MayHoldNtfsAttributes(sx, reach, follow)) ReadNtfsAttributes(reach, follow, info);
    return 0;
  }

  static std::string MessageOf(int result, const char* buffer) {
    return result == 0 ? buffer : "Unknown error";
  }
  static std::string MessageOf(const char* result, const char*) { return result; }

  // Whether the device is an NTFS volume of ntfs-3g, decided once per
  // device, so that other file systems pay nothing.
  bool MayHoldNtfsAttributes(const struct statx& sx, const std::string& path, bool follow) {
    std::uint64_t device = std::uint64_t{sx.stx_dev_major} << 32 | sx.stx_dev_minor;
    {
      std::lock_guard<std::mutex> lock(ntfs_devices_mutex_);
      auto it = ntfs_devices_.find(device);
      if (it != ntfs_devices_.end()) return it->second;
    }
    // statfs follows links; a link that was not followed lives in the folder
    // that holds it.
    std::string on_device = path;
    if (S_ISLNK(sx.stx_mode)) {
      std::size_t cut = path.find_last_of('/', path.size() > 1 ? path.size() - 2 : 0);
      on_device = cut == std::string::npos ? "." : path.substr(0, cut + 1);
    }
    struct statfs fs;
    if (statfs(on_device.c_str(), &fs) != 0) return false;  // undecided; ask again next time
    auto get = follow ? getxattr : lgetxattr;
    bool ntfs = fs.f_type == kFuseSuperMagic && get(path.c_str(), kNtfsTimes, nullptr, 0) == 32;
    std::lock_guard<std::mutex> lock(ntfs_devices_mutex_);
    ntfs_devices_.emplace(device, ntfs);
    return ntfs;
  }

  static void ReadNtfsAttributes(const std::string& path, bool follow, RawFileInfo* info) {
    auto get = follow ? getxattr : lgetxattr;
    std::uint8_t times[32];
    if (get(path.c_str(), kNtfsTimes, times, sizeof times) == sizeof times) {
      info->basic.CreationTime = LoadLe64(times);
      info->basic.LastWriteTime = LoadLe64(times + 8);
      info->basic.LastAccessTime = LoadLe64(times + 16);
      info->basic.ChangeTime = LoadLe64(times + 24);
    }
    FILE_OBJECTID_BUFFER buffer = {};
    ssize_t n = get(path.c_str(), kNtfsObjectId, &buffer, sizeof buffer);
    // ntfs-3g returns 16 bytes when only the object ID itself is kept.
    if (n >= 16) {
      info->has_object_id = true;
      info->object_id = buffer;
    }
  }

  std::mutex ntfs_devices_mutex_;  // probes may run on several threads
  std::unordered_map<std::uint64_t, bool> ntfs_devices_;
};

class FdSink : public ByteSink {
 public:
  // `owned`: the sink closes the descriptor.
  explicit FdSink(int fd, bool owned = false) : fd_(fd), owned_(owned) {}
  ~FdSink() override {
    if (owned_) close(fd_);
  }
  bool WriteAll(std::string_view bytes) override {
    while (!bytes.empty()) {
      ssize_t n = write(fd_, bytes.data(), bytes.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        // A reader that went away ends the program quietly.
        if (errno == EPIPE) _exit(141);
        error_ = errno;
        return false;
      }
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

 private:
  int fd_;
  bool owned_;
};

}  // namespace

std::unique_ptr<Platform> MakeNativePlatform() {
  // Every folder level of a walk holds one open search: allow as many open
  // files as the system lets this process have.
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  return std::make_unique<PosixPlatform>();
}

std::unique_ptr<ByteSink> MakeStandardSink(int stream) {
  return std::make_unique<FdSink>(stream == 2 ? STDERR_FILENO : STDOUT_FILENO);
}

std::unique_ptr<ByteSink> MakeFileSink(const std::string& path, int* error) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = errno;
    return nullptr;
  }
  return std::make_unique<FdSink>(fd, true);
}

void SetStandardOutputBytes() {}  // it always does

bool IsTerminal(int stream) { return isatty(stream == 2 ? STDERR_FILENO : STDOUT_FILENO) == 1; }

}  // namespace qst
