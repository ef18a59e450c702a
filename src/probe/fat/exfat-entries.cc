// exFAT's entry sets: see fat-entries.h for their layout.
#include "probe/fat/fat-entries.h"
#include "probe/le.h"

namespace qst {

namespace {

constexpr std::uint8_t kFileEntry = 0x85, kStreamEntry = 0xC0, kNameEntry = 0xC1;
constexpr std::uint8_t kInUse = 0x80;
constexpr std::size_t kEntryBytes = kFatEntryBytes;

// The File entry.
constexpr std::size_t kFollowing = 0x01;
constexpr std::size_t kSetChecksum = 0x02;
constexpr std::size_t kAttributes = 0x04;
constexpr std::size_t kCreation = 0x08;
constexpr std::size_t kWrite = 0x0C;
constexpr std::size_t kAccess = 0x10;
constexpr std::size_t kCreationCentiseconds = 0x14;
constexpr std::size_t kWriteCentiseconds = 0x15;
constexpr std::size_t kCreationOffset = 0x16;
constexpr std::size_t kWriteOffset = 0x17;
constexpr std::size_t kAccessOffset = 0x18;
// The Stream entry.
constexpr std::size_t kStreamFlags = 0x01;
constexpr std::uint8_t kContiguous = 0x02;
constexpr std::size_t kNameLength = 0x03;
constexpr std::size_t kFirstCluster = 0x14;
constexpr std::size_t kDataSize = 0x18;
// A File name entry.
constexpr std::size_t kNameUnits = 0x02;
constexpr int kUnitsPerEntry = 15;
// A set is its File and Stream entries and 1 to 17 name entries (255 units).
constexpr std::size_t kMinFollowing = 2, kMaxFollowing = 18;

FatStamp ExfatTime(std::uint32_t stamp, std::uint8_t centiseconds, std::uint8_t offset) {
  FatStamp s;
  if (stamp == 0) return s;
  s.present = true;
  s.second = static_cast<std::uint16_t>((stamp & 31) * 2);
  s.minute = (stamp >> 5) & 63;
  s.hour = (stamp >> 11) & 31;
  s.day = (stamp >> 16) & 31;
  s.month = (stamp >> 21) & 15;
  s.year = static_cast<std::uint16_t>(1980 + (stamp >> 25));
  s.centiseconds = centiseconds <= 199 ? centiseconds : 0;
  if ((offset & 0x80) != 0) {
    s.has_offset = true;
    // Seven bits, signed, in quarter hours.
    const int quarters = (offset & 0x40) != 0 ? (offset & 0x7F) - 128 : offset & 0x7F;
    s.offset_minutes = static_cast<std::int16_t>(quarters * 15);
  }
  return s;
}

std::uint16_t SetChecksum(const std::uint8_t* set, std::size_t bytes) {
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i < bytes; ++i) {
    if (i == kSetChecksum || i == kSetChecksum + 1) continue;
    sum = static_cast<std::uint16_t>(((sum & 1) != 0 ? 0x8000 : 0) + (sum >> 1) + set[i]);
  }
  return sum;
}

}  // namespace

void DecodeExfatFolder(const std::uint8_t* data, std::size_t size, bool deleted,
                       std::vector<FatEntry>* out, FolderDamage* damage) {
  for (std::size_t at = 0; at + kEntryBytes <= size;) {
    const std::uint8_t* e = data + at;
    if (e[0] == 0x00) break;
    const bool in_use = (e[0] & kInUse) != 0;
    if ((e[0] | kInUse) != kFileEntry || (!in_use && !deleted)) {
      at += kEntryBytes;
      continue;
    }
    // A set: the File entry, its Stream entry, then its name's entries.
    const std::size_t count = e[kFollowing];
    const std::size_t bytes = (count + 1) * kEntryBytes;
    if (count < kMinFollowing || count > kMaxFollowing || at + bytes > size ||
        (data[at + kEntryBytes] | kInUse) != kStreamEntry ||
        (in_use && SetChecksum(e, bytes) != LoadLe16(e + kSetChecksum))) {
      if (in_use) ++damage->bad_sets;
      at += kEntryBytes;
      continue;
    }
    const std::uint8_t* stream = e + kEntryBytes;
    FatEntry f;
    f.deleted = !in_use;
    f.attributes = LoadLe16(e + kAttributes);
    f.creation = ExfatTime(LoadLe32(e + kCreation), e[kCreationCentiseconds], e[kCreationOffset]);
    f.write = ExfatTime(LoadLe32(e + kWrite), e[kWriteCentiseconds], e[kWriteOffset]);
    f.access = ExfatTime(LoadLe32(e + kAccess), 0, e[kAccessOffset]);
    f.contiguous = (stream[kStreamFlags] & kContiguous) != 0;
    f.first_cluster = LoadLe32(stream + kFirstCluster);
    f.size = LoadLe64(stream + kDataSize);
    const std::size_t length = stream[kNameLength];
    for (std::size_t i = 2; i <= count && f.name.size() < length; ++i) {
      const std::uint8_t* piece = e + i * kEntryBytes;
      if ((piece[0] | kInUse) != kNameEntry) break;
      for (int u = 0; u < kUnitsPerEntry && f.name.size() < length; ++u)
        f.name += static_cast<char16_t>(LoadLe16(piece + kNameUnits + 2 * u));
    }
    f.offset = at;
    if (f.name.size() == length && length != 0) {
      out->push_back(std::move(f));
    } else if (in_use) {
      ++damage->bad_sets;
    }
    at += bytes;
  }
}

}  // namespace qst
