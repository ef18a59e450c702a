// Disk images on Windows, without The Sleuth Kit: raw images (a bare volume,
// an MBR- or GPT-partitioned disk, a bare $MFT), live volumes (\\.\C:) and
// disks (\\.\PhysicalDrive0). Containers that need a library to be read
// (E01, VMDK, VHD, split raw) are refused.
#include <windows.h>

#include <cctype>
#include <cstring>
#include <string>

#include "probe/image/open-volume.h"
#include "probe/image/raw-reader.h"
#include "probe/partitions.h"
#include "probe/platform.h"
#include "probe/win32/wide-win32.h"
#include "util/text.h"

namespace qst {
namespace {

int SameCode(int code) { return code; }

bool EndsWith(const std::string& text, const char* tail) {
  std::size_t n = std::strlen(tail);
  if (text.size() < n) return false;
  for (std::size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(text[text.size() - n + i])) != tail[i])
      return false;
  return true;
}

// The container format `image` is in, or null for raw bytes.
const char* ContainerOf(VolumeReader& image, const std::string& path) {
  if (const char* format = ContainerMark(image)) return format;
  // The first piece of a raw image split into several files.
  for (const auto& [first, second] : {std::pair{".001", ".002"}, std::pair{".aa", ".ab"}}) {
    if (!EndsWith(path, first)) continue;
    std::string next = path.substr(0, path.size() - std::strlen(first)) + second;
    if (GetFileAttributesW(ToWide(next).c_str()) != INVALID_FILE_ATTRIBUTES) return "split raw";
  }
  return nullptr;
}

bool OpenWin32Image(const ImageSelection& selection, Platform& host,
                    std::unique_ptr<Platform>* platform, std::string* message) {
  // A journal collected apart, listed without an image.
  if (selection.path.empty()) return OpenJournalFile(selection, host, platform, message);
  Disk disk;
  if (!OpenDisk(selection, host, &disk, message)) return false;
  return OpenImageVolume(std::move(disk), selection, host, SameCode, platform, message);
}

}  // namespace

bool OpenDisk(const ImageSelection& selection, Platform& host, Disk* disk, std::string* message) {
  const std::string& path = selection.path;
  std::unique_ptr<VolumeReader> image;
  if (int error = OpenRawFile(path, 0, &image)) {
    std::string text = OneLine(host.ErrorText(error));
    bool device = NamesDevice(path);
    *message =
        device && error == ERROR_ACCESS_DENIED
            ? Format("qst: %s needs an administrator: CODE=%d:%s\n", path.c_str(), error,
                     text.c_str())
            : Format("qst: cannot open image %s: CODE=%d:%s\n", path.c_str(), error, text.c_str());
    return false;
  }
  if (const char* container = ContainerOf(*image, path)) {
    *message = Format(
        "qst: cannot open image %s: it is %s %s image; this build reads raw images and volumes "
        "only\n",
        path.c_str(), container[0] == 'E' || container[0] == 'A' ? "an" : "a", container);
    return false;
  }
  disk->reader = std::move(image);
  if (WantsPartitions(disk, selection)) ReadPartitionTable(*disk->reader, &disk->partitions);
  return true;
}

ImageOpener NativeImageOpener() { return OpenWin32Image; }
const char* NativeImageFormats() {
  return "raw images (a volume, an MBR or GPT disk), bare $MFT files, live volumes (\\\\.\\C:), "
         "shadow copies (\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy1) and disks "
         "(\\\\.\\PhysicalDrive0)";
}

}  // namespace qst
