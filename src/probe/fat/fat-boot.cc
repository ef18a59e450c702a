#include "probe/fat/fat-boot.h"

#include <algorithm>
#include <cstring>

#include "probe/le.h"

namespace qst {

namespace {

bool PowerOfTwo(std::uint64_t n) { return n != 0 && (n & (n - 1)) == 0; }

bool ParseExfat(const std::uint8_t* s, FatGeometry* g, std::string* error) {
  const unsigned sector_shift = s[0x6C], cluster_shift = s[0x6D];
  // 512 to 4,096 bytes a sector, clusters up to 32 MiB.
  if (sector_shift < 9 || sector_shift > 12 || sector_shift + cluster_shift > 25) {
    *error = "its sector or cluster size is out of range";
    return false;
  }
  g->kind = FatKind::kExfat;
  g->sector_bytes = 1u << sector_shift;
  g->cluster_bytes = 1u << (sector_shift + cluster_shift);
  const std::uint64_t sectors = LoadLe64(s + 0x48);
  const std::uint64_t table_sector = LoadLe32(s + 0x50), table_sectors = LoadLe32(s + 0x54);
  const std::uint64_t heap_sector = LoadLe32(s + 0x58);
  g->clusters = LoadLe32(s + 0x5C);
  g->root_cluster = LoadLe32(s + 0x60);
  g->serial = LoadLe32(s + 0x64);
  if (sectors == 0 || sectors > (std::uint64_t{1} << 52) || table_sector == 0 ||
      table_sectors == 0 || heap_sector < table_sector + table_sectors || g->clusters == 0 ||
      g->clusters > 0xFFFFFFF5u || s[0x6E] == 0 || s[0x6E] > 2) {
    *error = "its table and cluster fields do not fit together";
    return false;
  }
  g->volume_bytes = sectors << sector_shift;
  g->table_offset = table_sector << sector_shift;
  g->table_bytes = table_sectors << sector_shift;
  g->data_offset = heap_sector << sector_shift;
  if (g->table_bytes / 4 < std::uint64_t{g->clusters} + 2 ||
      g->data_offset + (std::uint64_t{g->clusters} << (sector_shift + cluster_shift)) >
          g->volume_bytes ||
      !g->ValidCluster(g->root_cluster)) {
    *error = "its clusters reach past the volume, or its root folder lies outside them";
    return false;
  }
  return true;
}

bool ParseFat(const std::uint8_t* s, FatGeometry* g, std::string* error) {
  if (!LooksLikeFatBootSector(
          std::span<const std::uint8_t, kFatBootSectorSize>(s, kFatBootSectorSize))) {
    *error = "its boot sector is no FAT boot sector";
    return false;
  }
  g->sector_bytes = LoadLe16(s + 0x0B);
  g->cluster_bytes = g->sector_bytes * s[0x0D];
  const std::uint64_t reserved = LoadLe16(s + 0x0E), tables = s[0x10];
  const std::uint64_t root_entries = LoadLe16(s + 0x11);
  std::uint64_t sectors = LoadLe16(s + 0x13);
  if (sectors == 0) sectors = LoadLe32(s + 0x20);
  // Windows reads a volume as FAT32 where the 16-bit table size is 0,
  // whatever its cluster count, and tells FAT12 from FAT16 by the count
  // alone (its driver's limit is 4,087 clusters, not the 4,085 that
  // Microsoft's description of FAT gives).
  std::uint64_t table_sectors = LoadLe16(s + 0x16);
  const bool fat32 = table_sectors == 0;
  if (fat32) table_sectors = LoadLe32(s + 0x24);
  const std::uint64_t root_sectors = (root_entries * 32 + g->sector_bytes - 1) / g->sector_bytes;
  const std::uint64_t data_sector = reserved + tables * table_sectors + root_sectors;
  // Up to 128 sectors a cluster, of up to 4,096 bytes: 512 KiB.
  if (table_sectors == 0 || sectors <= data_sector || g->cluster_bytes > 512 * 1024) {
    *error = "its table and cluster fields do not fit together";
    return false;
  }
  const std::uint64_t clusters = (sectors - data_sector) / s[0x0D];
  g->kind = fat32 ? FatKind::kFat32 : clusters < 4087 ? FatKind::kFat12 : FatKind::kFat16;
  // At most what the table can name.
  const std::uint64_t bits = g->kind == FatKind::kFat12 ? 12 : g->kind == FatKind::kFat16 ? 16 : 32;
  const std::uint64_t named = table_sectors * g->sector_bytes * 8 / bits;
  g->clusters = static_cast<std::uint32_t>(
      std::min<std::uint64_t>({clusters, named > 2 ? named - 2 : 0, 0x0FFFFFF5}));
  g->volume_bytes = sectors * g->sector_bytes;
  g->table_offset = reserved * g->sector_bytes;
  g->table_bytes = table_sectors * g->sector_bytes;
  g->data_offset = data_sector * g->sector_bytes;
  if (g->kind == FatKind::kFat32) {
    g->root_cluster = LoadLe32(s + 0x2C);
    g->serial = LoadLe32(s + 0x43);
    if (root_entries != 0 || !g->ValidCluster(g->root_cluster)) {
      *error = "its root folder lies outside its clusters";
      return false;
    }
  } else {
    if (root_entries == 0) {
      *error = "its root folder holds no entries";
      return false;
    }
    g->serial = LoadLe32(s + 0x27);
    g->root_offset = (reserved + tables * table_sectors) * g->sector_bytes;
    g->root_bytes = root_entries * 32;
  }
  if (g->clusters == 0) {
    *error = "it holds no clusters";
    return false;
  }
  return true;
}

}  // namespace

const char* FatKindName(FatKind kind) {
  switch (kind) {
    case FatKind::kFat12: return "FAT12";
    case FatKind::kFat16: return "FAT16";
    case FatKind::kFat32: return "FAT32";
    case FatKind::kExfat: return "exFAT";
  }
  return "FAT";
}

bool LooksLikeFatBootSector(std::span<const std::uint8_t, kFatBootSectorSize> boot) {
  const std::uint8_t* s = boot.data();
  if (std::memcmp(s + 3, "EXFAT   ", 8) == 0) return true;
  if (s[510] != 0x55 || s[511] != 0xAA) return false;
  // A jump to the boot code, and a BIOS parameter block of sane sizes.
  if (s[0] != 0xEB && s[0] != 0xE9) return false;
  const std::uint32_t sector = LoadLe16(s + 0x0B);
  return PowerOfTwo(sector) && sector >= 512 && sector <= 4096 && PowerOfTwo(s[0x0D]) &&
         LoadLe16(s + 0x0E) != 0 && s[0x10] != 0 && std::memcmp(s + 3, "NTFS    ", 8) != 0;
}

bool ParseFatBootSector(std::span<const std::uint8_t, kFatBootSectorSize> sector, FatGeometry* g,
                        std::string* error) {
  const std::uint8_t* s = sector.data();
  *g = FatGeometry{};
  if (std::memcmp(s + 3, "EXFAT   ", 8) == 0) return ParseExfat(s, g, error);
  return ParseFat(s, g, error);
}

}  // namespace qst
