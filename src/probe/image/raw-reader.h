// A raw image (or device) read straight from its file, for reading without
// The Sleuth Kit where no container format stands in the way.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "probe/ntfs/ntfs-volume.h"

namespace qst {

// Opens `path` for reading only, its bytes from `offset` on. Returns null
// with the system's error code in `*error` when it cannot be opened.
std::unique_ptr<VolumeReader> OpenRawFile(const std::string& path, std::uint64_t offset,
                                          int* error);

}  // namespace qst
