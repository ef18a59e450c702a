// The platform over a FAT12, FAT16, FAT32 or exFAT volume read from its
// bytes: paths in Windows form, listings in the order each folder holds its
// entries, errors as Windows gives them, and FAT's local times read in the
// run's zone as Windows reads them.
#pragma once

#include <memory>
#include <string>

#include "probe/fat/fat-volume.h"
#include "probe/image/volume-platform.h"

namespace qst {

std::unique_ptr<Platform> MakeFatPlatform(std::unique_ptr<VolumeReader> reader,
                                          std::unique_ptr<FatVolume> volume, Platform& host,
                                          HostErrorToWindows to_windows, std::string image_name);

}  // namespace qst
