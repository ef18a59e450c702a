// The MFT records themselves: the input is an MFT, read as a bare MFT file
// and placed behind a fixed, sound boot sector (4 KiB clusters, 1 KiB
// records, the MFT at cluster 4).
#include <cstddef>
#include <cstdint>
#include <string>

#include "ntfs_explore.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qst::fuzz::ExploreVolume(std::string_view(reinterpret_cast<const char*>(data), size), true);
  constexpr std::size_t kMftOffset = 4 * 4096;
  std::string volume(kMftOffset, '\0');
  auto put = [&](std::size_t at, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) volume[at + i] = static_cast<char>(value >> (8 * i));
  };
  volume.replace(3, 8, "NTFS    ");
  put(11, 512, 2);                              // bytes per sector
  volume[13] = 8;                               // sectors per cluster
  put(0x28, (kMftOffset + size) / 512 + 8, 8);  // sectors in the volume
  put(0x30, 4, 8);                              // the MFT's cluster
  put(0x38, 2, 8);                              // $MFTMirr's cluster
  volume[0x40] = static_cast<char>(-10);        // 1 KiB records
  volume[0x44] = 1;                             // 4 KiB index blocks
  volume.append(reinterpret_cast<const char*>(data), size);
  qst::fuzz::ExploreVolume(volume);
  return 0;
}
