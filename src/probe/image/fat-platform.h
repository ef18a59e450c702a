// The platform over a FAT12, FAT16, FAT32 or exFAT volume read from its
// bytes: paths in Windows form, listings in the order each folder holds its
// entries, errors as Windows gives them, and FAT's local times read in the
// run's zone as Windows reads them.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "probe/fat/fat-volume.h"
#include "probe/image/volume-platform.h"

namespace qst {

// `zone`: the minutes east of UTC FAT's local times were written in; the
// host's zone when empty.
std::unique_ptr<Platform> MakeFatPlatform(std::unique_ptr<VolumeReader> reader,
                                          std::unique_ptr<FatVolume> volume, Platform& host,
                                          HostErrorToWindows to_windows, std::string image_name,
                                          std::optional<int> zone = std::nullopt);

}  // namespace qst
