// The entries of a FAT folder, and the entry sets of an exFAT folder, as
// one file each: its names, attributes, first cluster, size and the times
// as their fields keep them.
//
// FAT, 32 bytes an entry:
//   0x00 name (8) and extension (3), blank-padded, in the OEM code page;
//        0x00 first: no entry follows; 0xE5: deleted; 0x05: a name whose
//        first byte is 0xE5
//   0x0B attributes (0x0F: a long-name piece)  0x0C 0x08/0x10: the name's /
//   extension's letters are lower case  0x0D creation's 10-ms units (0-199)
//   0x0E creation time (2)  0x10 creation date (2)  0x12 access date (2)
//   0x14 first cluster's high half (FAT32)  0x16 write time  0x18 write date
//   0x1A first cluster's low half  0x1C size (4)
//   Times: hour << 11 | minute << 5 | second / 2; dates: (year - 1980) << 9
//   | month << 5 | day; in local time.
// A long name precedes its entry in pieces of 13 UTF-16 units, last piece
// first: 0x00 its number (0x40: the last), 0x01 units 1-5, 0x0D the 8.3
// name's checksum, 0x0E units 6-11, 0x1C units 12-13.
//
// exFAT, sets of 32-byte entries:
//   File (0x85): 0x01 entries that follow  0x02 the set's checksum (2)
//     0x04 attributes (2)  0x08 creation  0x0C write  0x10 access (4 each:
//     second / 2 | minute << 5 | hour << 11 | day << 16 | month << 21 |
//     (year - 1980) << 25)  0x14 creation's and 0x15 write's 10-ms units
//     0x16-0x18 each time's offset from UTC (0x80: given; low 7 bits, signed,
//     in 15 minutes)
//   Stream (0xC0): 0x01 flags (0x02: contiguous, no chain)  0x03 name length
//     0x14 first cluster (4)  0x18 size (8)
//   File name (0xC1): 0x02 15 UTF-16 units
//   The high bit of each type clear: the set was deleted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qst {

// A time as its fields keep it.
// Kept for every file of a volume: small.
struct FatStamp {
  bool present = false;
  // exFAT: the zone the time was written in, where given.
  bool has_offset = false;
  std::uint16_t year = 0;
  std::uint8_t month = 0, day = 0, hour = 0, minute = 0, second = 0;
  std::uint8_t centiseconds = 0;  // 0 to 199 beyond `second`
  std::int16_t offset_minutes = 0;
};

inline constexpr std::uint8_t kFatDirectory = 0x10;
inline constexpr std::size_t kFatEntryBytes = 32;
inline constexpr std::uint8_t kFatVolumeLabel = 0x08;

struct FatEntry {
  std::u16string name;     // the long name, else the 8.3 name as Windows shows it
  std::string short_name;  // FAT: the 8.3 name, ASCII or the OEM page's units; exFAT: empty
  std::uint16_t attributes = 0;
  bool deleted = false;
  std::uint32_t first_cluster = 0;
  std::uint64_t size = 0;
  bool contiguous = false;  // exFAT: the clusters follow each other, no chain
  FatStamp creation, write, access;
  std::size_t offset = 0;  // where its (short or File) entry lies in the folder's bytes
  bool folder() const { return (attributes & kFatDirectory) != 0; }
};

// What decoding a folder met besides its files.
struct FolderDamage {
  std::uint32_t bad_sets = 0;  // exFAT sets whose checksum or shape fails
};

// The files of a FAT folder's bytes (`deleted`: those deleted too), "." and
// ".." and the volume label left out.
void DecodeFatFolder(const std::uint8_t* data, std::size_t size, bool deleted,
                     std::vector<FatEntry>* out);

// The files of an exFAT folder's bytes.
void DecodeExfatFolder(const std::uint8_t* data, std::size_t size, bool deleted,
                       std::vector<FatEntry>* out, FolderDamage* damage);

// Whether a FAT entry is a folder's "." entry naming `cluster` as its own
// (the cluster's high half counts on FAT32 only).
bool IsDotEntryOf(const std::uint8_t* entry, std::uint32_t cluster, bool fat32);

// The 8.3 name's checksum that its long name's pieces carry.
std::uint8_t ShortNameChecksum(const std::uint8_t* name11);

}  // namespace qst
