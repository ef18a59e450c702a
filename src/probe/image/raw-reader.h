// A raw image (or device) read straight from its file, for reading without
// The Sleuth Kit where no container format stands in the way.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "probe/volume-reader.h"

namespace qst {

// Opens `path` for reading only, its bytes from `offset` on. A platform
// call: 0, or the system's error code.
int OpenRawFile(const std::string& path, std::uint64_t offset,
                std::unique_ptr<VolumeReader>* reader);

// Whether a Windows path names a device rather than a file: a volume or
// disk (\\.\C:, \\.\PhysicalDrive0), a shadow copy
// (\\?\GLOBALROOT\Device\HarddiskVolumeShadowCopy1) or a volume by its GUID
// (\\?\Volume{...}, without a trailing separator).
inline bool NamesDevice(std::string_view path) {
  auto starts = [&](std::string_view head) {
    if (path.size() < head.size()) return false;
    for (std::size_t i = 0; i < head.size(); ++i) {
      char c = path[i];
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      if (c != head[i]) return false;
    }
    return true;
  };
  if (starts("\\\\.\\") || starts("\\\\?\\GLOBALROOT\\")) return true;
  return starts("\\\\?\\VOLUME{") && path.back() == '}';
}

}  // namespace qst
