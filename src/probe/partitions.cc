#include "probe/partitions.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <set>

#include "probe/le.h"
#include "probe/utf16.h"

namespace qst {
namespace {

constexpr std::uint64_t kSector = 512;
constexpr int kMaxLogical = 256;  // logical partitions followed in one extended partition
constexpr std::uint32_t kMaxGptEntries = 4096;

bool ReadSector(VolumeReader& disk, std::uint64_t lba, std::uint64_t size,
                std::array<std::uint8_t, 4096>* sector) {
  return lba < disk.Size() / size && disk.ReadAll(lba * size, sector->data(), size);
}

bool IsExtended(std::uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

std::string MbrDescription(std::uint8_t type) {
  const char* name = nullptr;
  switch (type) {
    case 0x01: name = "DOS FAT12"; break;
    case 0x04:
    case 0x06: name = "DOS FAT16"; break;
    case 0x07: name = "NTFS / exFAT"; break;
    case 0x0B:
    case 0x0C: name = "Win95 FAT32"; break;
    case 0x0E: name = "DOS FAT16"; break;
    case 0x11: name = "Hidden FAT12"; break;
    case 0x12: name = "Hidden FAT16"; break;
    case 0x17: name = "Hidden NTFS"; break;
    case 0x1B:
    case 0x1C: name = "Hidden Win95 FAT32"; break;
    case 0x27: name = "Windows Recovery"; break;
    case 0x82: name = "Linux Swap / Solaris x86"; break;
    case 0x83: name = "Linux"; break;
    case 0x8E: name = "Linux Logical Volume Manager"; break;
    case 0xA5: name = "FreeBSD"; break;
    case 0xAF: name = "Mac OS X HFS"; break;
    case 0xEE: name = "GPT Safety Partition"; break;
    case 0xEF: name = "EFI System Partition"; break;
    default: name = "Unknown Type"; break;
  }
  char text[64];
  std::snprintf(text, sizeof text, "%s (0x%02x)", name, type);
  return text;
}

struct MbrEntry {
  std::uint8_t type;
  std::uint64_t start, length;  // as the entry has them, relative to its table's base
};

std::array<MbrEntry, 4> MbrEntries(const std::uint8_t* sector) {
  std::array<MbrEntry, 4> entries;
  for (int i = 0; i < 4; ++i) {
    const std::uint8_t* e = sector + 446 + 16 * i;
    entries[i] = {e[4], LoadLe32(e + 8), LoadLe32(e + 12)};
  }
  return entries;
}

bool HasMbrSignature(const std::uint8_t* sector) {
  return sector[510] == 0x55 && sector[511] == 0xAA;
}

// Adds a partition that lies inside the disk (cut at its end).
void Add(std::uint64_t start, std::uint64_t length, std::string description, std::uint64_t sectors,
         std::vector<Partition>* partitions) {
  if (length == 0 || start >= sectors) return;
  partitions->push_back(
      {start, std::min(length, sectors - start), std::move(description), std::nullopt});
}

// The logical partitions of the extended partition at `base`: a chain of
// extended boot records, each with one logical partition (relative to that
// record) and the link to the next (relative to `base`).
void ReadLogical(VolumeReader& disk, std::uint64_t base, std::uint64_t sectors,
                 std::vector<Partition>* partitions) {
  std::set<std::uint64_t> seen;
  std::array<std::uint8_t, 4096> sector;
  for (std::uint64_t ebr = base; seen.size() < kMaxLogical && seen.insert(ebr).second;) {
    if (!ReadSector(disk, ebr, kSector, &sector) || !HasMbrSignature(sector.data())) return;
    std::array<MbrEntry, 4> entries = MbrEntries(sector.data());
    const MbrEntry& logical = entries[0];
    if (logical.type != 0 && !IsExtended(logical.type))
      Add(ebr + logical.start, logical.length, MbrDescription(logical.type), sectors, partitions);
    const MbrEntry& next = entries[1];
    if (!IsExtended(next.type) || next.start == 0) return;
    ebr = base + next.start;
  }
}

bool ReadGpt(VolumeReader& disk, std::uint64_t sector_size, std::vector<Partition>* partitions) {
  std::array<std::uint8_t, 4096> header;
  if (!ReadSector(disk, 1, sector_size, &header) || std::memcmp(header.data(), "EFI PART", 8) != 0)
    return false;
  std::uint64_t entries_lba = LoadLe64(header.data() + 72);
  std::uint32_t count = LoadLe32(header.data() + 80);
  std::uint32_t entry_size = LoadLe32(header.data() + 84);
  if (entry_size < 128 || entry_size > sector_size || sector_size % entry_size != 0 ||
      count > kMaxGptEntries)
    return false;
  const std::uint64_t sectors = disk.Size() / kSector;
  const std::uint64_t scale = sector_size / kSector;
  const std::uint32_t per_sector = static_cast<std::uint32_t>(sector_size / entry_size);
  std::array<std::uint8_t, 4096> sector;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (i % per_sector == 0 &&
        !ReadSector(disk, entries_lba + i / per_sector, sector_size, &sector))
      break;
    const std::uint8_t* e = sector.data() + (i % per_sector) * entry_size;
    static constexpr std::uint8_t kUnused[16] = {};
    if (std::memcmp(e, kUnused, 16) == 0) continue;
    std::uint64_t first = LoadLe64(e + 32), last = LoadLe64(e + 40);
    if (last < first || first > sectors / scale) continue;
    std::u16string name;
    for (int k = 0; k < 36; ++k) {
      char16_t unit = static_cast<char16_t>(LoadLe16(e + 56 + 2 * k));
      if (unit == 0) break;
      name.push_back(unit);
    }
    Add(first * scale, (last - first + 1) * scale, Wtf8FromUtf16(name), sectors, partitions);
  }
  return true;
}

}  // namespace

PartitionScheme ReadPartitionTable(VolumeReader& disk, std::vector<Partition>* partitions) {
  partitions->clear();
  std::array<std::uint8_t, 4096> mbr;
  if (!ReadSector(disk, 0, kSector, &mbr) || !HasMbrSignature(mbr.data()))
    return PartitionScheme::kNone;
  // A volume's boot sector ends in the same signature: an NTFS or FAT boot
  // sector is no partition table.
  if (std::memcmp(mbr.data() + 3, "NTFS    ", 8) == 0 ||
      std::memcmp(mbr.data() + 3, "EXFAT   ", 8) == 0 ||
      std::memcmp(mbr.data() + 82, "FAT32   ", 8) == 0 ||
      std::memcmp(mbr.data() + 54, "FAT1", 4) == 0)
    return PartitionScheme::kNone;
  // Each entry's first byte says whether it boots: 0x00 or 0x80, nothing
  // else, in a table.
  for (int i = 0; i < 4; ++i)
    if ((mbr[446 + 16 * i] & 0x7F) != 0) return PartitionScheme::kNone;
  std::array<MbrEntry, 4> entries = MbrEntries(mbr.data());
  for (const MbrEntry& e : entries) {
    if (e.type != 0xEE) continue;
    for (std::uint64_t size : {std::uint64_t{512}, std::uint64_t{4096}})
      if (ReadGpt(disk, size, partitions)) return PartitionScheme::kGpt;
  }
  const std::uint64_t sectors = disk.Size() / kSector;
  bool any = false;
  for (const MbrEntry& e : entries) {
    if (e.type == 0) continue;
    any = true;
    if (IsExtended(e.type))
      ReadLogical(disk, e.start, sectors, partitions);
    else
      Add(e.start, e.length, MbrDescription(e.type), sectors, partitions);
  }
  return any ? PartitionScheme::kMbr : PartitionScheme::kNone;
}

}  // namespace qst
