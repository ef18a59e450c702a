// A raw image (or device) read straight from its file, for reading without
// The Sleuth Kit where no container format stands in the way.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "probe/volume-reader.h"

namespace qst {

// Opens `path` for reading only, its bytes from `offset` on. A platform
// call: 0, or the system's error code.
int OpenRawFile(const std::string& path, std::uint64_t offset,
                std::unique_ptr<VolumeReader>* reader);

}  // namespace qst
