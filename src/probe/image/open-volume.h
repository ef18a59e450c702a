// Opening the NTFS volume of a disk image once its bytes can be read: a bare
// MFT, the volume at -o's sector, the only NTFS partition of a partitioned
// image, or the image itself. Platform-free; each build's image layer hands
// over the image's reader and its way of listing partitions.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "probe/image/volume-platform.h"
#include "probe/partitions.h"
#include "probe/platform.h"

namespace qst {

// Returns 0 with the volume's platform in `*platform`, or 1 with the lines
// that say why not in `*message`. `partitions` lists the image's partitions
// (asked only when no sector was chosen and the image is no bare MFT).
int OpenImageVolume(std::unique_ptr<VolumeReader> image,
                    const std::function<std::vector<Partition>()>& partitions,
                    const ImageSelection& selection, Platform& host, HostErrorToWindows to_windows,
                    std::unique_ptr<Platform>* platform, std::string* message);

// Whether an NTFS boot sector starts `offset` bytes into `image`.
bool HoldsNtfs(VolumeReader& image, std::uint64_t offset);

// The container format whose mark `image` starts with ("E01" for any EWF
// file, "AFF", "VMDK", "VHD", "VHDX"), or null for raw bytes.
const char* ContainerMark(VolumeReader& image);

// Formats a message as printf does.
std::string Format(const char* format, ...)
#if defined(__MINGW32__)
    __attribute__((format(gnu_printf, 1, 2)))
#elif defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

}  // namespace qst
