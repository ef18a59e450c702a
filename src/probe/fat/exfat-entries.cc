// exFAT's entry sets: see fat-entries.h for their layout.
#include "probe/fat/fat-entries.h"
#include "probe/le.h"

namespace qst {

namespace {

constexpr std::uint8_t kFileEntry = 0x85, kStreamEntry = 0xC0, kNameEntry = 0xC1;

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
    if (i == 2 || i == 3) continue;
    sum = static_cast<std::uint16_t>(((sum & 1) != 0 ? 0x8000 : 0) + (sum >> 1) + set[i]);
  }
  return sum;
}

}  // namespace

void DecodeExfatFolder(const std::uint8_t* data, std::size_t size, bool deleted,
                       std::vector<FatEntry>* out, FolderDamage* damage) {
  for (std::size_t at = 0; at + 32 <= size;) {
    const std::uint8_t* e = data + at;
    if (e[0] == 0x00) break;
    const bool in_use = (e[0] & 0x80) != 0;
    if ((e[0] | 0x80) != kFileEntry || (!in_use && !deleted)) {
      at += 32;
      continue;
    }
    // A set: the File entry, its Stream entry, then its name's entries.
    const std::size_t count = e[1];
    const std::size_t bytes = (count + 1) * 32;
    if (count < 2 || count > 18 || at + bytes > size || (data[at + 32] | 0x80) != kStreamEntry ||
        (in_use && SetChecksum(e, bytes) != LoadLe16(e + 2))) {
      if (in_use) ++damage->bad_sets;
      at += 32;
      continue;
    }
    const std::uint8_t* stream = e + 32;
    FatEntry f;
    f.deleted = !in_use;
    f.attributes = LoadLe16(e + 4);
    f.creation = ExfatTime(LoadLe32(e + 8), e[0x14], e[0x16]);
    f.write = ExfatTime(LoadLe32(e + 0x0C), e[0x15], e[0x17]);
    f.access = ExfatTime(LoadLe32(e + 0x10), 0, e[0x18]);
    f.contiguous = (stream[1] & 0x02) != 0;
    f.first_cluster = LoadLe32(stream + 0x14);
    f.size = LoadLe64(stream + 0x18);
    const std::size_t length = stream[3];
    for (std::size_t i = 2; i <= count && f.name.size() < length; ++i) {
      const std::uint8_t* piece = e + i * 32;
      if ((piece[0] | 0x80) != kNameEntry) break;
      for (int u = 0; u < 15 && f.name.size() < length; ++u)
        f.name += static_cast<char16_t>(LoadLe16(piece + 2 + 2 * u));
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
