// exFAT's up-case table, named by an entry of type 0x82 in the root folder:
//   0x04 the table's checksum (4)  0x14 its first cluster (4)  0x18 its
//   length in bytes (8)
// The table is UTF-16 units, the upper case of unit 0, 1, 2 and on; 0xFFFF
// followed by a count N says the next N units are their own upper case. The
// checksum runs over every byte: sum = (sum >> 1 | sum << 31) + byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qst {

struct ExfatUpcaseEntry {
  std::uint32_t checksum = 0;
  std::uint32_t first_cluster = 0;
  std::uint64_t length = 0;
};

// The up-case table's entry among the root folder's bytes; false for none.
bool FindExfatUpcase(const std::uint8_t* root, std::size_t size, ExfatUpcaseEntry* entry);

// The table as 65,536 little-endian units, 128 KiB (the bytes an NTFS
// $UpCase holds), from its stored form; units it does not reach are their
// own upper case. False where the checksum fails or the form is broken.
bool ExpandExfatUpcase(const std::uint8_t* data, std::size_t size, std::uint32_t checksum,
                       std::vector<std::uint8_t>* table);

}  // namespace qst
