// $Extend\$ObjId's $O index: for each object ID on the volume, the file
// that holds it and its birth IDs. An entry's key is the 16-byte object ID;
// its data (at the entry's data offset):
//   0x00  8  file reference of the file holding the object ID
//   0x08  16 birth volume ID
//   0x18  16 birth object ID
//   0x28  16 domain ID
#pragma once

#include <array>
#include <cstdint>

namespace qst {

struct ObjectIdEntry {
  std::array<std::uint8_t, 16> object_id;
  std::uint64_t record = 0;                // record number of the file
  std::array<std::uint8_t, 48> birth_ids;  // birth volume, birth object, domain
};

// False when the entry is no whole $O entry.
[[nodiscard]] bool DecodeObjectIdEntry(const std::uint8_t* entry, std::uint16_t length,
                                       ObjectIdEntry* out);

}  // namespace qst
