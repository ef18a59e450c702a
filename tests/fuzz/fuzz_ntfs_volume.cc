// The NTFS reader over a whole volume's bytes: boot sector, MFT, indexes.
#include <cstddef>
#include <cstdint>

#include "ntfs_explore.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qst::fuzz::ExploreVolume(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
