// The NTFS boot sector, the first 512 bytes of a volume:
//
//   offset  size  field
//   0x03    8     OEM ID, "NTFS    "
//   0x0B    2     bytes per sector (256 to 4096, a power of two)
//   0x0D    1     sectors per cluster; above 0x80, 2^(256 - value)
//   0x28    8     sectors in the volume
//   0x30    8     first cluster of the MFT
//   0x38    8     first cluster of $MFTMirr
//   0x40    1     MFT record size: clusters, or 2^-value bytes when negative
//   0x44    1     index block size, as the record size
//   0x48    8     volume serial number
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "probe/volume-reader.h"

namespace qst {

struct BootSector {
  std::uint32_t bytes_per_sector = 0;
  std::uint64_t cluster_size = 0;
  std::uint32_t record_size = 0;
  std::uint32_t index_block_size = 0;
  std::uint64_t volume_clusters = 0;  // clusters a run may address
  std::uint64_t volume_bytes = 0;
  std::uint64_t mft_offset = 0;     // bytes from the volume's start
  std::uint64_t mirror_offset = 0;  // ~0 when outside the volume
  std::uint64_t serial = 0;
};

inline constexpr std::uint64_t kBootSectorSize = 512;

// Decodes the 512 bytes at `boot`. False with `*error` set ("no NTFS boot
// sector", "damaged boot sector") when they hold no usable NTFS boot sector.
[[nodiscard]] bool ParseBootSector(std::span<const std::uint8_t, kBootSectorSize> boot,
                                   BootSector* sector, std::string* error);

// Whether an NTFS boot sector starts `offset` bytes into `image`.
bool HoldsNtfs(VolumeReader& image, std::uint64_t offset);

}  // namespace qst
