// $ATTRIBUTE_LIST (0x20): where the attributes of a file too large for one
// record lie. Its value is a sequence of entries:
//
//   offset  size  field
//   0x00    4     attribute type
//   0x04    2     entry length (at least 26)
//   0x06    1     attribute name length, in UTF-16 units
//   0x08    8     first VCN of that piece of the attribute
//   0x10    8     file reference of the record that holds it
#pragma once

#include <cstdint>
#include <vector>

namespace qst {

struct AttributeListEntry {
  std::uint32_t type = 0;
  std::uint8_t name_length = 0;
  std::uint64_t start_vcn = 0;
  std::uint64_t record = 0;  // record number, without the sequence number
};

// The entries of a list, up to the first damaged one.
std::vector<AttributeListEntry> DecodeAttributeList(const std::vector<std::uint8_t>& list);

// The largest list read: far beyond what any file's attributes need.
inline constexpr std::size_t kMaxAttributeList = 1u << 20;

}  // namespace qst
