// The platform of a disk image: the NTFS volume of a raw, split raw, E01,
// VMDK or VHD image (containers and partition tables through The Sleuth
// Kit), with paths in Windows form and errors as Windows gives them.
#include <dlfcn.h>
#include <sys/stat.h>
#include <tsk/libtsk.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>

#include "probe/image/raw-reader.h"
#include "probe/ntfs/ntfs-volume.h"
#include "probe/platform.h"
#include "probe/utf16.h"
#include "probe/wildcard.h"

namespace qst {
namespace {

// The Sleuth Kit, loaded when an image is first opened, so that a run
// without -d does not start up the dozens of libraries under it.
struct TskApi {
  decltype(&::tsk_img_open_utf8) img_open_utf8;
  decltype(&::tsk_img_read) img_read;
  decltype(&::tsk_img_close) img_close;
  decltype(&::tsk_vs_open) vs_open;
  decltype(&::tsk_vs_part_get) vs_part_get;
  decltype(&::tsk_vs_close) vs_close;
  decltype(&::tsk_error_get) error_get;
  decltype(&::tsk_error_reset) error_reset;
};

const TskApi* tsk = nullptr;

// Returns null with `*error` set when the library or a name in it is missing.
const TskApi* LoadTsk(std::string* error) {
  static TskApi api;
  static std::string failure;
  static const bool loaded = [] {
    void* library = dlopen(QST_TSK_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) library = dlopen("libtsk.so", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
      const char* why = dlerror();
      failure = why != nullptr ? why : "cannot load " QST_TSK_LIBRARY;
      return false;
    }
    auto find = [&](auto* slot, const char* name) {
      void* address = dlsym(library, name);
      if (address == nullptr && failure.empty()) failure = std::string("no ") + name + " in libtsk";
      *slot = reinterpret_cast<std::remove_pointer_t<decltype(slot)>>(address);
    };
    find(&api.img_open_utf8, "tsk_img_open_utf8");
    find(&api.img_read, "tsk_img_read");
    find(&api.img_close, "tsk_img_close");
    find(&api.vs_open, "tsk_vs_open");
    find(&api.vs_part_get, "tsk_vs_part_get");
    find(&api.vs_close, "tsk_vs_close");
    find(&api.error_get, "tsk_error_get");
    find(&api.error_reset, "tsk_error_reset");
    return failure.empty();
  }();
  if (!loaded) {
    *error = failure;
    return nullptr;
  }
  return &api;
}

// Windows error codes of the image platform.
constexpr int kFileNotFound = 2;
constexpr int kPathNotFound = 3;
constexpr int kAccessDenied = 5;
constexpr int kGenFailure = 31;
constexpr int kInvalidName = 123;
constexpr int kNameTooLong = 206;
constexpr int kDirectoryInvalid = 267;
constexpr int kFileCorrupt = 1392;
constexpr int kInvalidFunction = 1;

// The made-up folder of deleted files whose folder is gone (with -a).
constexpr std::u16string_view kOrphans = u"$Orphan";

constexpr std::uint64_t kSectorSize = 512;

void CopyTimes(const NtfsVolume::Times& times, FILE_BASIC_INFO* basic) {
  basic->CreationTime = times.creation;
  basic->LastWriteTime = times.write;
  basic->ChangeTime = times.change;
  basic->LastAccessTime = times.access;
}

class TskReader : public VolumeReader {
 public:
  TskReader(TSK_IMG_INFO* image, std::uint64_t offset) : image_(image), offset_(offset) {}
  ~TskReader() override { tsk->img_close(image_); }
  bool Read(std::uint64_t offset, void* buffer, std::size_t size) override {
    std::uint64_t at = offset_ + offset;
    if (at < offset || at > static_cast<std::uint64_t>(image_->size) ||
        size > static_cast<std::uint64_t>(image_->size) - at)
      return false;
    char* out = static_cast<char*>(buffer);
    while (size > 0) {
      std::size_t piece = std::min<std::size_t>(size, 1u << 24);
      ssize_t n = tsk->img_read(image_, static_cast<TSK_OFF_T>(at), out, piece);
      if (n <= 0) return false;
      at += static_cast<std::uint64_t>(n);
      out += n;
      size -= static_cast<std::size_t>(n);
    }
    return true;
  }
  std::uint64_t Size() const override {
    std::uint64_t size = static_cast<std::uint64_t>(image_->size);
    return size > offset_ ? size - offset_ : 0;
  }

 private:
  TSK_IMG_INFO* image_;
  std::uint64_t offset_;
};

class ImagePlatform : public Platform {
 public:
  ImagePlatform(std::unique_ptr<VolumeReader> reader, std::unique_ptr<NtfsVolume> volume,
                Platform& host, std::string image_name)
      : reader_(std::move(reader)),
        volume_(std::move(volume)),
        host_(host),
        image_name_(std::move(image_name)) {}

  bool ProbesFromMemory() const override { return true; }

  int Probe(const std::string& path, RawFileInfo* info) override {
    Found found;
    if (int error = Resolve(Utf16FromWtf8(path), &found)) return error;
    return Report(path, found, info);
  }

  int ProbeEntry(const std::string& path, const DirEntry& entry, RawFileInfo* info) override {
    // A listed name carries its index: the path need not be found again.
    if (entry.token == 0) return Probe(path, info);
    std::uint32_t name = static_cast<std::uint32_t>(entry.token - 1);
    return Report(path, {volume_->RecordOfName(name), name}, info);
  }

  int OpenSearch(const std::string& pattern, std::unique_ptr<DirSearch>* search) override {
    PatternParts parts = SplitPattern(pattern, '\\');
    // "C:name" names a file of the root.
    if (parts.folder.empty() && parts.last.size() >= 2 && parts.last[1] == ':') {
      parts.folder = parts.last.substr(0, 2);
      parts.last.remove_prefix(2);
    }
    std::u16string folder_path = Utf16FromWtf8(parts.folder);
    std::u16string last = Utf16FromWtf8(parts.last);
    // A pattern without a folder part searches the root.
    Found found;
    if (int error = folder_path.empty() ? 0 : Resolve(folder_path, &found))
      return error == kFileNotFound ? kPathNotFound : error;
    const std::uint64_t folder = found.record;
    if (!volume_->IsFolder(folder)) return kDirectoryInvalid;
    if (last.empty()) return kFileNotFound;

    std::vector<DirEntry> entries;
    if (!HasWildcard(std::u16string_view(last))) {
      std::uint64_t record = Step(folder, last).record;
      if (record == NtfsVolume::kNone) return kFileNotFound;
      entries.push_back(
          {Wtf8FromUtf16(last), volume_->IsFolder(record), record == NtfsVolume::kOrphanFolder});
    } else {
      // "*.*" matches every name, with or without a dot.
      std::u16string_view wanted = last == u"*.*" ? u"*" : std::u16string_view(last);
      if (folder != NtfsVolume::kRootRecord) {
        for (const char16_t* dots : {u".", u".."})
          if (Matches(wanted, dots)) entries.push_back({Wtf8FromUtf16(dots), true});
      }
      // Deleted entries, when asked for, come after the live ones.
      for (std::span<const std::uint32_t> names :
           {volume_->Children(folder), volume_->DeletedChildren(folder)}) {
        for (std::uint32_t name : names) {
          std::u16string_view text = volume_->NameText(name);
          std::uint64_t record = volume_->RecordOfName(name);
          if (volume_->Listed(record) && Matches(wanted, text))
            entries.push_back({Wtf8FromUtf16(text), volume_->IsFolder(record), false, name + 1ull});
        }
      }
      if (folder == NtfsVolume::kRootRecord && volume_->IsFolder(NtfsVolume::kOrphanFolder) &&
          Matches(wanted, kOrphans))
        entries.push_back({Wtf8FromUtf16(kOrphans), true, true});
    }
    if (entries.empty()) return kFileNotFound;
    search->reset(new VectorSearch(std::move(entries)));
    return 0;
  }

  int OpenList(const std::string& path, std::unique_ptr<ByteSource>* source) override {
    // List files are on this machine; their errors are told in Windows terms.
    switch (int error = host_.OpenList(path, source)) {
      case 0: return 0;
      case ENOENT: return kFileNotFound;
      case ENOTDIR: return kPathNotFound;
      case EACCES:
      case EPERM:
      case EISDIR: return kAccessDenied;
      case ENAMETOOLONG: return kNameTooLong;
      default: return error > 0 ? kGenFailure : error;
    }
  }

  std::string ErrorText(int code) override {
    switch (code) {
      case kFileNotFound: return "The system cannot find the file specified.\n";
      case kPathNotFound: return "The system cannot find the path specified.\n";
      case kAccessDenied: return "Access is denied.\n";
      case kGenFailure: return "A device attached to the system is not functioning.\n";
      case kInvalidName:
        return "The filename, directory name, or volume label syntax is incorrect.\n";
      case kNameTooLong: return "The filename or extension is too long.\n";
      case kDirectoryInvalid: return "The directory name is invalid.\n";
      case kFileCorrupt: return "The file or directory is corrupted and unreadable.\n";
      case kInvalidFunction: return "Incorrect function.\n";
      default: return "Unknown error " + std::to_string(code) + "\n";
    }
  }

  int NameTooLongCode() const override { return kNameTooLong; }
  char Separator() const override { return '\\'; }
  bool IsVolumeRoot(std::string_view path) const override {
    return path == "\\" || IsDriveRoot(path);
  }
  bool ToLocalTime(const SYSTEMTIME& utc, SYSTEMTIME* local) const override {
    return host_.ToLocalTime(utc, local);
  }

  std::string LossReport() const override {
    return DescribeDamage(image_name_, volume_->DamageFound());
  }

 private:
  // A record, and the name by which it was reached (kNone when none).
  struct Found {
    std::uint64_t record = NtfsVolume::kRootRecord;
    std::uint32_t name = NtfsVolume::kNone;
  };

  // Fills `info` for the record found at `path`.
  int Report(const std::string& path, Found found, RawFileInfo* info) const {
    const std::uint64_t record = found.record;
    bool wants_folder = !path.empty() && path.back() == '\\';
    if (wants_folder && !volume_->IsFolder(record)) return kInvalidName;
    // The orphans' folder is made up: there is nothing to report of it.
    if (record == NtfsVolume::kOrphanFolder) return kInvalidFunction;
    // Times that were not read are not shown, as zeros or otherwise.
    if (!volume_->HasTimes(record)) return kFileCorrupt;
    *info = RawFileInfo{};
    CopyTimes(volume_->TimesOf(record), &info->basic);
    info->has_object_id = volume_->ObjectIdOf(record, &info->object_id);
    info->file_index = static_cast<std::uint32_t>(record);
    info->volume = 1;
    info->file_id = record;
    if (volume_->IsFolder(record)) info->basic.FileAttributes = kFileAttributeDirectory;
    NtfsVolume::Times name_times;
    if (found.name != NtfsVolume::kNone && volume_->NameTimesOf(found.name, &name_times)) {
      info->has_name_times = true;
      CopyTimes(name_times, &info->name_times);
    }
    info->deleted = volume_->Deleted(record);
    info->has_volume_id = volume_->VolumeObjectId(info->volume_id);
    return 0;
  }

  // The entry of `folder` called `name`, or a record of kNone.
  Found Step(std::uint64_t folder, std::u16string_view name) {
    if (folder == NtfsVolume::kRootRecord && volume_->IsFolder(NtfsVolume::kOrphanFolder) &&
        Matches(kOrphans, name))
      return {NtfsVolume::kOrphanFolder, NtfsVolume::kNone};
    std::uint32_t found = volume_->LookupName(folder, name);
    if (found == NtfsVolume::kNone || !volume_->Listed(volume_->RecordOfName(found)))
      return {NtfsVolume::kNone, NtfsVolume::kNone};
    return {volume_->RecordOfName(found), found};
  }

  // Finds the record a path names: "C:\a\b", "\a\b" and "a\b" all start at
  // the root; a trailing separator is allowed. Returns 0 or the code Windows
  // gives: 2 for a missing last name, 3 for a missing folder on the way.
  int Resolve(std::u16string_view path, Found* found) {
    if (path.empty()) return kPathNotFound;  // as CreateFileW("") fails
    if (path.size() >= 2 && path[1] == u':') path.remove_prefix(2);
    // A volume that reads itself whole on the way voids what was found: the
    // path is followed again.
    const int generation = volume_->generation();
    int error = Follow(path, found);
    return volume_->generation() == generation ? error : Follow(path, found);
  }

  int Follow(std::u16string_view path, Found* found) {
    // The folders passed through, so that ".." steps back as Windows does
    // with a path, by its text; above the root there is only the root.
    std::vector<Found> trail = {{NtfsVolume::kRootRecord, volume_->RootName()}};
    std::size_t pos = path.find_first_not_of(u'\\');
    while (pos != std::u16string_view::npos) {
      std::size_t end = std::min(path.find(u'\\', pos), path.size());
      std::u16string_view name = path.substr(pos, end - pos);
      bool last = path.find_first_not_of(u'\\', end) == std::u16string_view::npos;
      if (HasWildcard(name) || name.find_first_of(u"<>|\"") != std::u16string_view::npos)
        return kInvalidName;
      if (!volume_->IsFolder(trail.back().record)) return kPathNotFound;
      if (name == u"..") {
        if (trail.size() > 1) trail.pop_back();
      } else if (name != u".") {
        Found next = Step(trail.back().record, name);
        if (next.record == NtfsVolume::kNone) return last ? kFileNotFound : kPathNotFound;
        trail.push_back(next);
      }
      pos = path.find_first_not_of(u'\\', end);
    }
    *found = trail.back();
    return 0;
  }

  // Names match without regard to case, by the volume's own table.
  bool Matches(std::u16string_view pattern, std::u16string_view name) const {
    return MatchWildcard(pattern, name, [&](char16_t a, char16_t b) {
      return volume_->Upcase(a) == volume_->Upcase(b);
    });
  }

  std::unique_ptr<VolumeReader> reader_;
  std::unique_ptr<NtfsVolume> volume_;
  Platform& host_;
  std::string image_name_;
};

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  return text;
}

std::string TskErrorText() {
  const char* text = tsk->error_get();
  std::string s = text != nullptr ? text : "unknown error";
  tsk->error_reset();
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

// The reader for the volume at `offset`: a raw image of one file is read
// straight from the file (in place where it is cached), anything else
// through The Sleuth Kit, which then owns `image`.
std::unique_ptr<VolumeReader> VolumeReaderFor(TSK_IMG_INFO* image, const std::string& path,
                                              std::uint64_t offset) {
  struct stat st;
  if (image->itype == TSK_IMG_TYPE_RAW && stat(path.c_str(), &st) == 0 &&
      static_cast<std::int64_t>(st.st_size) == static_cast<std::int64_t>(image->size)) {
    int error = 0;
    if (std::unique_ptr<VolumeReader> raw = OpenRawFile(path, offset, &error)) {
      tsk->img_close(image);
      return raw;
    }
  }
  return std::make_unique<TskReader>(image, offset);
}

bool HoldsNtfs(TSK_IMG_INFO* image, std::uint64_t offset) {
  char oem[8];
  return tsk->img_read(image, static_cast<TSK_OFF_T>(offset + 3), oem, sizeof oem) == sizeof oem &&
         std::memcmp(oem, "NTFS    ", 8) == 0;
}

// The byte offset of the NTFS volume to use: -o's sector, else the only
// NTFS partition of a partitioned image, else the image itself. Returns
// false with the list of choices in `message` when there are several.
bool ChooseVolume(TSK_IMG_INFO* image, const ImageSelection& selection, std::string* message,
                  std::uint64_t* offset) {
  if (selection.sector >= 0) {
    *offset = static_cast<std::uint64_t>(selection.sector) * kSectorSize;
    return true;
  }
  *offset = 0;
  TSK_VS_INFO* vs = tsk->vs_open(image, 0, TSK_VS_TYPE_DETECT);
  if (vs == nullptr) {
    tsk->error_reset();
    return true;  // a bare volume
  }
  struct Found {
    std::uint64_t start, length;
    std::string description;
  };
  std::vector<Found> found;
  for (TSK_PNUM_T i = 0; i < vs->part_count; ++i) {
    const TSK_VS_PART_INFO* part = tsk->vs_part_get(vs, i);
    if (part == nullptr || (part->flags & TSK_VS_PART_FLAG_ALLOC) == 0) continue;
    std::uint64_t start = part->start * vs->block_size;
    if (HoldsNtfs(image, start))
      found.push_back({start / kSectorSize, part->len * vs->block_size / kSectorSize,
                       part->desc != nullptr ? part->desc : ""});
  }
  tsk->vs_close(vs);
  if (found.size() == 1) *offset = found[0].start * kSectorSize;
  if (found.size() <= 1) return true;
  *message = Format("qst: %s holds %zu NTFS volumes; choose one with -o SECTOR:\n",
                    selection.path.c_str(), found.size());
  *message += "   start     length  description\n";
  for (const Found& f : found)
    *message += Format("%8llu %10llu  %s\n", static_cast<unsigned long long>(f.start),
                       static_cast<unsigned long long>(f.length), f.description.c_str());
  return false;
}

int OpenImagePlatform(const ImageSelection& selection, Platform& host,
                      std::unique_ptr<Platform>* platform, std::string* message) {
  constexpr int kUnusable = 1;
  std::string why;
  tsk = LoadTsk(&why);
  if (tsk == nullptr) {
    *message = Format("qst: cannot open image %s: The Sleuth Kit is not available (%s)\n",
                      selection.path.c_str(), why.c_str());
    return kUnusable;
  }
  const TSK_TCHAR* names[1] = {selection.path.c_str()};
  TSK_IMG_INFO* image = tsk->img_open_utf8(1, names, TSK_IMG_TYPE_DETECT, 0);
  if (image == nullptr) {
    *message =
        Format("qst: cannot open image %s: %s\n", selection.path.c_str(), TskErrorText().c_str());
    return kUnusable;
  }
  NtfsReadOptions options;
  options.deleted = selection.deleted;
  options.name_times = selection.name_times;
  options.lazy = selection.few_paths;
  options.progress = selection.progress;
  std::string error;
  // A bare MFT, as copied out of a volume, starts with its first record.
  char magic[4];
  if (selection.sector < 0 && tsk->img_read(image, 0, magic, 4) == 4 &&
      std::memcmp(magic, "FILE", 4) == 0) {
    std::unique_ptr<VolumeReader> reader = VolumeReaderFor(image, selection.path, 0);
    // Without clusters, a folder's index may lie beyond reach: read it all.
    options.lazy = false;
    std::unique_ptr<NtfsVolume> volume = NtfsVolume::OpenMft(*reader, &error, options);
    if (volume == nullptr) {
      *message = Format("qst: %s holds no usable MFT: %s\n", selection.path.c_str(), error.c_str());
      return kUnusable;
    }
    *platform =
        std::make_unique<ImagePlatform>(std::move(reader), std::move(volume), host, selection.path);
    return 0;
  }
  std::uint64_t offset = 0;
  if (!ChooseVolume(image, selection, message, &offset)) {
    tsk->img_close(image);
    return kUnusable;
  }
  std::unique_ptr<VolumeReader> reader = VolumeReaderFor(image, selection.path, offset);
  std::unique_ptr<NtfsVolume> volume = NtfsVolume::Open(*reader, &error, options);
  if (volume == nullptr) {
    *message =
        Format("qst: %s holds no usable NTFS volume at sector %llu: %s\n", selection.path.c_str(),
               static_cast<unsigned long long>(offset / kSectorSize), error.c_str());
    return kUnusable;
  }
  *platform =
      std::make_unique<ImagePlatform>(std::move(reader), std::move(volume), host, selection.path);
  return 0;
}

}  // namespace

ImageOpener NativeImageOpener() { return OpenImagePlatform; }

}  // namespace qst
