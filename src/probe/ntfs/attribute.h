// The attributes of an MFT record, one after another from the record's
// first-attribute offset up to a type of 0xFFFFFFFF. Each starts with:
//
//   offset  size  field
//   0x00    4     type (0x10 $STANDARD_INFORMATION, 0x30 $FILE_NAME, ...)
//   0x04    4     length of the whole attribute, a multiple of 8
//   0x08    1     0 resident (value inside the record), 1 non-resident
//   0x09    1     name length, in UTF-16 units
//   0x0A    2     name offset
//   resident:
//   0x10    4     value length
//   0x14    2     value offset
//   non-resident:
//   0x10    8     first VCN this piece of the attribute covers
//   0x20    2     run list offset
//   0x30    8     data size, in bytes
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "probe/ntfs/run-list.h"
#include "probe/volume-reader.h"

namespace qst {

enum AttributeType : std::uint32_t {
  kAttrStandardInformation = 0x10,
  kAttrAttributeList = 0x20,
  kAttrFileName = 0x30,
  kAttrObjectId = 0x40,
  kAttrData = 0x80,
  kAttrIndexRoot = 0x90,
  kAttrIndexAllocation = 0xA0,
  kAttrBitmap = 0xB0,
  kAttrEnd = 0xFFFFFFFF,
};

// One attribute of a record, checked to lie inside it.
struct NtfsAttribute {
  std::uint32_t type = 0;
  bool resident = false;
  std::u16string_view name;             // valid until the walker moves on
  const std::uint8_t* value = nullptr;  // resident value
  std::uint32_t value_length = 0;
  const std::uint8_t* runs = nullptr;  // non-resident run list
  std::uint32_t runs_length = 0;
  std::uint64_t data_size = 0;
  std::uint64_t start_vcn = 0;
  // The first piece's allocated bytes, and the last VCN of this piece.
  std::uint64_t allocated_size = 0;
  std::uint64_t last_vcn = 0;
};

// Walks the attributes of a fixed-up record of `size` bytes.
class AttributeWalker {
 public:
  AttributeWalker(const std::uint8_t* record, std::uint32_t size);
  // The next attribute; false at the end, or where the next one is damaged.
  bool Next(NtfsAttribute* attribute);
  // Whether the walk stopped on damage rather than at the end marker.
  bool damaged() const { return damaged_; }

 private:
  const std::uint8_t* record_;
  std::uint32_t end_;
  std::uint32_t pos_;
  std::u16string name_units_;
  bool damaged_ = false;

  bool Stop() {
    damaged_ = true;
    return false;
  }
};

// The value of a resident attribute, or the data of a non-resident one
// (sparse parts as zeros), read through `reader`. False when it is damaged,
// continues in another record, cannot be read, or is larger than `limit`.
[[nodiscard]] bool ReadAttributeValue(VolumeReader& reader, const ClusterGeometry& geometry,
                                      const NtfsAttribute& attribute,
                                      std::vector<std::uint8_t>* data, std::size_t limit);

}  // namespace qst
