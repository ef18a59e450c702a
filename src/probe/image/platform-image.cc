// The platform of a disk image: the NTFS volume of a raw, split raw, E01,
// VMDK or VHD image (containers and partition tables through The Sleuth
// Kit), with paths in Windows form and errors as Windows gives them.
#include <fcntl.h>
#include <sys/stat.h>
#include <tsk/libtsk.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "probe/image/ewf-segments.h"
#include "probe/image/loaded-library.h"
#include "probe/image/open-volume.h"
#include "probe/image/raw-reader.h"
#include "probe/image/volume-platform.h"
#include "probe/ntfs/boot-sector.h"
#include "probe/partitions.h"
#include "probe/platform.h"
#include "probe/utf16.h"
#include "probe/wildcard.h"
#include "util/text.h"

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
  decltype(&::tsk_error_reset) error_reset;
};

// Returns null with `*error` set when the library or a name in it is missing.
const TskApi* LoadTsk(std::string* error) {
  static TskApi api;
  static std::string failure;
  static const bool loaded = [] {
    void* library = OpenLibrary(QST_TSK_LIBRARY, "libtsk.so", &failure);
    if (library == nullptr) return false;
    auto find = [&](auto** slot, const char* name) {
      FindFunction(library, slot, name, " in libtsk", &failure);
    };
    find(&api.img_open_utf8, "tsk_img_open_utf8");
    find(&api.img_read, "tsk_img_read");
    find(&api.img_close, "tsk_img_close");
    find(&api.vs_open, "tsk_vs_open");
    find(&api.vs_part_get, "tsk_vs_part_get");
    find(&api.vs_close, "tsk_vs_close");
    find(&api.error_reset, "tsk_error_reset");
    return failure.empty();
  }();
  if (!loaded) {
    *error = failure;
    return nullptr;
  }
  return &api;
}

// The library, once LoadTsk has found it.
const TskApi& Tsk() {
  std::string ignored;
  return *LoadTsk(&ignored);
}

constexpr std::uint64_t kSectorSize = 512;

class TskReader : public VolumeReader {
 public:
  TskReader(TSK_IMG_INFO* image, std::uint64_t offset) : image_(image), offset_(offset) {}
  ~TskReader() override { Tsk().img_close(image_); }
  ReadStatus Read(std::uint64_t offset, void* buffer, std::size_t size) override {
    std::uint64_t at = offset_ + offset;
    if (at < offset || !Inside(at, size, static_cast<std::uint64_t>(image_->size)))
      return ReadStatus::kPastEnd;
    char* out = static_cast<char*>(buffer);
    while (size > 0) {
      std::size_t piece = std::min<std::size_t>(size, 1u << 24);
      ssize_t n = Tsk().img_read(image_, static_cast<TSK_OFF_T>(at), out, piece);
      if (n <= 0) return ReadStatus::kFailed;
      at += static_cast<std::uint64_t>(n);
      out += n;
      size -= static_cast<std::size_t>(n);
    }
    return ReadStatus::kOk;
  }
  std::uint64_t Size() const override {
    std::uint64_t size = static_cast<std::uint64_t>(image_->size);
    return size > offset_ ? size - offset_ : 0;
  }

 private:
  TSK_IMG_INFO* image_;
  std::uint64_t offset_;
};

// The Windows code of a system error of this machine.
int ErrnoToWindows(int error) {
  switch (error) {
    case ENOENT: return 2;   // ERROR_FILE_NOT_FOUND
    case ENOTDIR: return 3;  // ERROR_PATH_NOT_FOUND
    case EACCES:
    case EPERM:
    case EISDIR: return 5;                   // ERROR_ACCESS_DENIED
    case ENAMETOOLONG: return 206;           // ERROR_FILENAME_EXCED_RANGE
    default: return error > 0 ? 31 : error;  // ERROR_GEN_FAILURE
  }
}

// The allocated partitions of the image's partition table, as The Sleuth
// Kit reads it; none when it finds no table.
std::vector<Partition> TskPartitions(TSK_IMG_INFO* image) {
  std::vector<Partition> partitions;
  TSK_VS_INFO* vs = Tsk().vs_open(image, 0, TSK_VS_TYPE_DETECT);
  if (vs == nullptr) {
    Tsk().error_reset();
    return partitions;  // a bare volume
  }
  for (TSK_PNUM_T i = 0; i < vs->part_count; ++i) {
    const TSK_VS_PART_INFO* part = Tsk().vs_part_get(vs, i);
    if (part == nullptr || (part->flags & TSK_VS_PART_FLAG_ALLOC) == 0) continue;
    partitions.push_back({part->start * vs->block_size / kSectorSize,
                          part->len * vs->block_size / kSectorSize,
                          part->desc != nullptr ? part->desc : "", std::nullopt});
  }
  Tsk().vs_close(vs);
  return partitions;
}

// Whether `path` is a raw image of one file that nothing but its bytes is
// needed to read: a name that raw images go by, and none of the marks of
// the containers The Sleuth Kit reads (EWF, AFF, VMDK, VHD, VHDX).
bool PlainRawImage(const std::string& path, VolumeReader& image) {
  std::size_t slash = path.find_last_of('/');
  std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
  std::size_t dot = name.find_last_of('.');
  std::string extension = dot == std::string::npos ? "" : name.substr(dot + 1);
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  static constexpr const char* kRawNames[] = {"", "img", "dd", "raw", "bin", "dsk", "ima", "mft"};
  if (std::none_of(std::begin(kRawNames), std::end(kRawNames),
                   [&](const char* raw) { return extension == raw; }))
    return false;
  // A fixed VHD is raw data with its mark in a footer.
  char tail[8] = {};
  if (image.Size() < 512 || !image.ReadAll(image.Size() - 512, tail, 8)) return false;
  return ContainerMark(image) == nullptr && std::memcmp(tail, "conectix", 8) != 0;
}

// Opens the image through The Sleuth Kit; null with `*message` set, in our
// own words, when it cannot.
TSK_IMG_INFO* OpenTskImage(const std::string& path, std::string* message) {
  std::string why;
  if (LoadTsk(&why) == nullptr) {
    *message = Format("qst: cannot open image %s: The Sleuth Kit is not available (%s)\n",
                      path.c_str(), why.c_str());
    return nullptr;
  }
  const TSK_TCHAR* names[1] = {path.c_str()};
  TSK_IMG_INFO* image = Tsk().img_open_utf8(1, names, TSK_IMG_TYPE_DETECT, 0);
  if (image == nullptr) {
    Tsk().error_reset();
    *message = Format(
        "qst: cannot open image %s: it is no image this build reads (raw, split raw, E01, VMDK, "
        "VHD), or it is damaged\n",
        path.c_str());
  }
  return image;
}

// Why `path` cannot be an image at all, in our words; empty when it may be.
std::string UnusablePath(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0)
    return Format("qst: cannot open image %s: %s\n", path.c_str(), std::strerror(errno));
  if (S_ISDIR(st.st_mode))
    return Format("qst: cannot open image %s: it is a folder\n", path.c_str());
  // A pipe or a terminal would block the open, and neither can be read at
  // will.
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))
    return Format("qst: cannot open image %s: it is neither a file nor a disk\n", path.c_str());
  // The system's reason first (no permission): no reader of formats would
  // open it either.
  if (int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC); fd < 0)
    return Format("qst: cannot open image %s: %s\n", path.c_str(), std::strerror(errno));
  else
    close(fd);
  // A later piece of a raw image split into several files: "x.002", "x.ab".
  std::size_t dot = path.find_last_of("./");
  if (dot == std::string::npos || path[dot] != '.') return {};
  std::string tail = path.substr(dot + 1), first;
  if (tail.size() == 3 && std::all_of(tail.begin(), tail.end(), ::isdigit) && tail != "000" &&
      tail != "001")
    first = path.substr(0, dot + 1) + "001";
  else if (tail.size() == 2 && std::islower(static_cast<unsigned char>(tail[0])) &&
           std::islower(static_cast<unsigned char>(tail[1])) && tail != "aa")
    first = path.substr(0, dot + 1) + "aa";
  if (first.empty() || stat(first.c_str(), &st) != 0) return {};
  return Format(
      "qst: cannot open image %s: it is a later piece of a split image; name its first "
      "piece, %s\n",
      path.c_str(), first.c_str());
}

// The partitions of a plain raw image: ours when they leave no choice to
// describe (one NTFS partition, or a bare volume); else The Sleuth Kit's,
// whose descriptions and table formats the lists of choices have always
// shown.
std::vector<Partition> RawImagePartitions(VolumeReader& image, const std::string& path) {
  std::vector<Partition> ours;
  PartitionScheme scheme = ReadPartitionTable(image, &ours);
  if (scheme == PartitionScheme::kNone && HoldsNtfs(image, 0)) return {};
  for (Partition& p : ours) p.ntfs = HoldsNtfs(image, p.start * kSectorSize);
  if (std::count_if(ours.begin(), ours.end(), [](const Partition& p) { return *p.ntfs; }) == 1)
    return ours;
  std::string ignored;
  TSK_IMG_INFO* tsk_image = OpenTskImage(path, &ignored);
  if (tsk_image == nullptr) return ours;
  std::vector<Partition> theirs = TskPartitions(tsk_image);
  Tsk().img_close(tsk_image);
  return theirs;
}

// The disk of a plain raw image, read straight from its file (in place
// where it is cached), without starting The Sleuth Kit and the dozens of
// libraries under it; false when the image is no plain raw image.
bool OpenPlainRawImage(const ImageSelection& selection, Disk* disk) {
  struct stat st;
  if (stat(selection.path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::unique_ptr<VolumeReader> raw;
  if (OpenRawFile(selection.path, 0, &raw) != 0 || !PlainRawImage(selection.path, *raw))
    return false;
  disk->reader = std::move(raw);
  if (WantsPartitions(disk, selection))
    disk->partitions = RawImagePartitions(*disk->reader, selection.path);
  return true;
}

bool OpenImagePlatform(const ImageSelection& selection, Platform& host,
                       std::unique_ptr<Platform>* platform, std::string* message) {
  // A journal collected apart, listed without an image.
  if (selection.path.empty()) return OpenJournalFile(selection, host, platform, message);
  Disk disk;
  if (!OpenDisk(selection, host, &disk, message)) return false;
  return OpenImageVolume(std::move(disk), selection, host, ErrnoToWindows, platform, message);
}

}  // namespace

bool OpenDisk(const ImageSelection& selection, Platform&, Disk* disk, std::string* message) {
  if (std::string why = UnusablePath(selection.path); !why.empty()) {
    *message = why;
    return false;
  }
  if (OpenPlainRawImage(selection, disk)) return true;
  TSK_IMG_INFO* image = OpenTskImage(selection.path, message);
  if (image == nullptr) return false;
  // A raw image of one file is still read straight from the file; anything
  // else through The Sleuth Kit, which then owns the image.
  struct stat st;
  if (image->itype == TSK_IMG_TYPE_RAW && stat(selection.path.c_str(), &st) == 0 &&
      static_cast<std::int64_t>(st.st_size) == static_cast<std::int64_t>(image->size))
    OpenRawFile(selection.path, 0, &disk->reader);
  bool own_reader = disk->reader != nullptr;
  if (!own_reader) disk->reader = std::make_unique<TskReader>(image, 0);
  disk->container = image->itype != TSK_IMG_TYPE_RAW;
  // The Sleuth Kit reads a missing segment's sectors as zeros, silently.
  if (disk->container && selection.lost)
    if (std::string lines = MissingEwfSegments(selection.path); !lines.empty())
      selection.lost(lines);
  if (WantsPartitions(disk, selection)) disk->partitions = TskPartitions(image);
  if (own_reader) Tsk().img_close(image);
  return true;
}

ImageOpener NativeImageOpener() { return OpenImagePlatform; }
const char* NativeImageFormats() {
  return "raw, split raw, E01, VMDK, VHD through The Sleuth Kit, loaded when needed";
}

}  // namespace qst
