// The boot sector of a FAT12, FAT16, FAT32 or exFAT volume, and the
// geometry it gives: where the allocation table, the root folder and the
// clusters lie. Every value is checked against the others and against the
// volume's size before anything is read through it.
//
// FAT (the BIOS parameter block, little-endian):
//   0x0B bytes a sector (2)      0x0D sectors a cluster (1)
//   0x0E reserved sectors (2)    0x10 tables (1)
//   0x11 root folder entries (2, 0 on FAT32)
//   0x13 sectors (2; 0: see 0x20)  0x16 sectors a table (2; 0 on FAT32)
//   0x20 sectors (4)             FAT32: 0x24 sectors a table (4),
//   0x2C root folder's cluster (4), 0x43 serial (4); FAT12/16: 0x27 serial
//   0x1FE 55 AA
// The kind follows from the count of clusters alone, as Windows reads it:
// under 4,085 FAT12, under 65,525 FAT16, else FAT32.
//
// exFAT ("EXFAT   " at 3):
//   0x48 sectors (8)  0x50 table's sector (4)  0x54 sectors a table (4)
//   0x58 clusters' sector (4)  0x5C clusters (4)  0x60 root's cluster (4)
//   0x64 serial (4)  0x6C log2 bytes a sector (1)  0x6D log2 sectors a
//   cluster (1)  0x6E tables (1)
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace qst {

enum class FatKind : std::uint8_t { kFat12, kFat16, kFat32, kExfat };

// "FAT12", "FAT16", "FAT32" or "exFAT".
const char* FatKindName(FatKind kind);

struct FatGeometry {
  FatKind kind = FatKind::kFat12;
  std::uint32_t sector_bytes = 0;
  std::uint32_t cluster_bytes = 0;
  std::uint64_t table_offset = 0;  // the first allocation table
  std::uint64_t table_bytes = 0;
  // FAT12 and FAT16: the root folder's fixed place; else its cluster.
  std::uint64_t root_offset = 0;
  std::uint64_t root_bytes = 0;
  std::uint32_t root_cluster = 0;
  std::uint64_t data_offset = 0;  // cluster 2
  std::uint32_t clusters = 0;     // clusters 2 to clusters + 1
  std::uint64_t volume_bytes = 0;
  std::uint32_t serial = 0;

  bool exfat() const { return kind == FatKind::kExfat; }
  // The offset of a cluster's first byte; call only for 2 <= cluster <= clusters + 1.
  std::uint64_t ClusterOffset(std::uint32_t cluster) const {
    return data_offset + std::uint64_t{cluster - 2} * cluster_bytes;
  }
  bool ValidCluster(std::uint32_t cluster) const { return cluster >= 2 && cluster - 2 < clusters; }
};

// Whether `sector` (the volume's first 512 bytes) is a FAT or exFAT boot
// sector, at a glance.
inline constexpr std::size_t kFatBootSectorSize = 512;
[[nodiscard]] bool LooksLikeFatBootSector(std::span<const std::uint8_t, kFatBootSectorSize> sector);

// Reads the geometry from the volume's first 512 bytes. False with the
// reason in `error`. An image shorter than the volume is read as far as it
// goes: what lies beyond is said where a read fails.
[[nodiscard]] bool ParseFatBootSector(std::span<const std::uint8_t, kFatBootSectorSize> sector,
                                      FatGeometry* g, std::string* error);

}  // namespace qst
