#include "probe/fat/fat-boot.h"

#include <algorithm>
#include <cstring>

#include "probe/le.h"

namespace qst {

namespace {

// The BIOS parameter block of FAT12, FAT16 and FAT32.
constexpr std::size_t kJump = 0x00;
constexpr std::size_t kOemId = 0x03;
constexpr std::size_t kBytesPerSector = 0x0B;
constexpr std::size_t kSectorsPerCluster = 0x0D;
constexpr std::size_t kReservedSectors = 0x0E;
constexpr std::size_t kTables = 0x10;
constexpr std::size_t kRootEntries = 0x11;
constexpr std::size_t kSectors16 = 0x13;
constexpr std::size_t kTableSectors16 = 0x16;
constexpr std::size_t kSectors32 = 0x20;
constexpr std::size_t kFat16Serial = 0x27;
constexpr std::size_t kTableSectors32 = 0x24;
constexpr std::size_t kRootCluster = 0x2C;
constexpr std::size_t kFat32Serial = 0x43;
constexpr std::size_t kSignature = 0x1FE;
constexpr std::size_t kEntryBytes = 32;

// exFAT's boot sector.
constexpr std::size_t kExfatSectors = 0x48;
constexpr std::size_t kExfatTableSector = 0x50;
constexpr std::size_t kExfatTableSectors = 0x54;
constexpr std::size_t kExfatHeapSector = 0x58;
constexpr std::size_t kExfatClusters = 0x5C;
constexpr std::size_t kExfatRootCluster = 0x60;
constexpr std::size_t kExfatSerial = 0x64;
constexpr std::size_t kExfatSectorShift = 0x6C;
constexpr std::size_t kExfatClusterShift = 0x6D;
constexpr std::size_t kExfatTables = 0x6E;

constexpr char kExfatOemId[] = "EXFAT   ";
constexpr char kNtfsOemId[] = "NTFS    ";

// Where Windows's driver tells FAT12 from FAT16, and the highest cluster a
// table may name.
constexpr std::uint64_t kFat12Clusters = 4087;
constexpr std::uint64_t kMaxFatClusters = 0x0FFFFFF5;
constexpr std::uint64_t kMaxExfatClusters = 0xFFFFFFF5;

bool PowerOfTwo(std::uint64_t n) { return n != 0 && (n & (n - 1)) == 0; }

bool ParseExfat(const std::uint8_t* s, FatGeometry* g, std::string* error) {
  const unsigned sector_shift = s[kExfatSectorShift], cluster_shift = s[kExfatClusterShift];
  // 512 to 4,096 bytes a sector, clusters up to 32 MiB.
  if (sector_shift < 9 || sector_shift > 12 || sector_shift + cluster_shift > 25) {
    *error = "its sector or cluster size is out of range";
    return false;
  }
  g->kind = FatKind::kExfat;
  g->sector_bytes = 1u << sector_shift;
  g->cluster_bytes = 1u << (sector_shift + cluster_shift);
  const std::uint64_t sectors = LoadLe64(s + kExfatSectors);
  const std::uint64_t table_sector = LoadLe32(s + kExfatTableSector),
                      table_sectors = LoadLe32(s + kExfatTableSectors);
  const std::uint64_t heap_sector = LoadLe32(s + kExfatHeapSector);
  g->clusters = LoadLe32(s + kExfatClusters);
  g->root_cluster = LoadLe32(s + kExfatRootCluster);
  g->serial = LoadLe32(s + kExfatSerial);
  if (sectors == 0 || sectors > (std::uint64_t{1} << 52) || table_sector == 0 ||
      table_sectors == 0 || heap_sector < table_sector + table_sectors || g->clusters == 0 ||
      g->clusters > kMaxExfatClusters || s[kExfatTables] == 0 || s[kExfatTables] > 2) {
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
  g->sector_bytes = LoadLe16(s + kBytesPerSector);
  g->cluster_bytes = g->sector_bytes * s[kSectorsPerCluster];
  const std::uint64_t reserved = LoadLe16(s + kReservedSectors), tables = s[kTables];
  const std::uint64_t root_entries = LoadLe16(s + kRootEntries);
  std::uint64_t sectors = LoadLe16(s + kSectors16);
  if (sectors == 0) sectors = LoadLe32(s + kSectors32);
  // Windows reads a volume as FAT32 where the 16-bit table size is 0,
  // whatever its cluster count, and tells FAT12 from FAT16 by the count
  // alone (its driver's limit is 4,087 clusters, not the 4,085 that
  // Microsoft's description of FAT gives).
  std::uint64_t table_sectors = LoadLe16(s + kTableSectors16);
  const bool fat32 = table_sectors == 0;
  if (fat32) table_sectors = LoadLe32(s + kTableSectors32);
  const std::uint64_t root_sectors =
      (root_entries * kEntryBytes + g->sector_bytes - 1) / g->sector_bytes;
  const std::uint64_t data_sector = reserved + tables * table_sectors + root_sectors;
  // Up to 128 sectors a cluster, of up to 4,096 bytes: 512 KiB.
  if (table_sectors == 0 || sectors <= data_sector || g->cluster_bytes > 512 * 1024) {
    *error = "its table and cluster fields do not fit together";
    return false;
  }
  const std::uint64_t clusters = (sectors - data_sector) / s[kSectorsPerCluster];
  g->kind = fat32 ? FatKind::kFat32 : clusters < kFat12Clusters ? FatKind::kFat12 : FatKind::kFat16;
  // At most what the table can name.
  const std::uint64_t bits = g->kind == FatKind::kFat12 ? 12 : g->kind == FatKind::kFat16 ? 16 : 32;
  const std::uint64_t named = table_sectors * g->sector_bytes * 8 / bits;
  g->clusters = static_cast<std::uint32_t>(
      std::min<std::uint64_t>({clusters, named > 2 ? named - 2 : 0, kMaxFatClusters}));
  g->volume_bytes = sectors * g->sector_bytes;
  g->table_offset = reserved * g->sector_bytes;
  g->table_bytes = table_sectors * g->sector_bytes;
  g->data_offset = data_sector * g->sector_bytes;
  if (g->kind == FatKind::kFat32) {
    g->root_cluster = LoadLe32(s + kRootCluster);
    g->serial = LoadLe32(s + kFat32Serial);
    if (root_entries != 0 || !g->ValidCluster(g->root_cluster)) {
      *error = "its root folder lies outside its clusters";
      return false;
    }
  } else {
    if (root_entries == 0) {
      *error = "its root folder holds no entries";
      return false;
    }
    g->serial = LoadLe32(s + kFat16Serial);
    g->root_offset = (reserved + tables * table_sectors) * g->sector_bytes;
    g->root_bytes = root_entries * kEntryBytes;
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
  if (std::memcmp(s + kOemId, kExfatOemId, 8) == 0) return true;
  if (s[kSignature] != 0x55 || s[kSignature + 1] != 0xAA) return false;
  // A jump to the boot code, and a BIOS parameter block of sane sizes.
  if (s[kJump] != 0xEB && s[kJump] != 0xE9) return false;
  const std::uint32_t sector = LoadLe16(s + kBytesPerSector);
  return PowerOfTwo(sector) && sector >= 512 && sector <= 4096 &&
         PowerOfTwo(s[kSectorsPerCluster]) && LoadLe16(s + kReservedSectors) != 0 &&
         s[kTables] != 0 && std::memcmp(s + kOemId, kNtfsOemId, 8) != 0;
}

bool ParseFatBootSector(std::span<const std::uint8_t, kFatBootSectorSize> sector, FatGeometry* g,
                        std::string* error) {
  const std::uint8_t* s = sector.data();
  *g = FatGeometry{};
  if (std::memcmp(s + kOemId, kExfatOemId, 8) == 0) return ParseExfat(s, g, error);
  return ParseFat(s, g, error);
}

}  // namespace qst
