// An MFT record ("FILE" record) and the update-sequence fixups that protect
// it and every index block:
//
//   offset  size  field
//   0x00    4     signature, "FILE"
//   0x04    2     offset of the update sequence array
//   0x06    2     entries in it: the sequence number, then one per 512 bytes
//   0x10    2     sequence number, raised each time the record is reused
//   0x14    2     offset of the first attribute
//   0x16    2     flags: 0x01 in use, 0x02 a folder
//   0x18    4     bytes in use
//   0x1C    4     bytes allocated: the record size
//   0x20    8     base record's file reference; 0 in a base record
//
// A file reference is 48 bits of record number and 16 of sequence number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "probe/le.h"

namespace qst {

namespace mft_record {
inline constexpr std::size_t kSequence = 0x10;
inline constexpr std::size_t kFirstAttribute = 0x14;
inline constexpr std::size_t kFlags = 0x16;
inline constexpr std::size_t kBytesInUse = 0x18;
inline constexpr std::size_t kBytesAllocated = 0x1C;
inline constexpr std::size_t kBaseReference = 0x20;
inline constexpr std::uint16_t kInUse = 0x01;
inline constexpr std::uint16_t kFolder = 0x02;
}  // namespace mft_record

// The header fields of a record, decoded by name.
struct RecordHeader {
  std::uint16_t sequence = 0;
  std::uint16_t first_attribute = 0;
  std::uint16_t flags = 0;
  std::uint32_t bytes_in_use = 0;
  std::uint32_t bytes_allocated = 0;
  std::uint64_t base_reference = 0;  // 0 in a base record
  bool in_use() const { return (flags & mft_record::kInUse) != 0; }
  bool folder() const { return (flags & mft_record::kFolder) != 0; }
};
inline constexpr std::size_t kRecordHeaderBytes = 0x28;
// The header of `record`; all zeros where it is too short to hold one.
inline RecordHeader DecodeRecordHeader(std::span<const std::uint8_t> record) {
  RecordHeader h;
  if (record.size() < kRecordHeaderBytes) return h;
  const std::uint8_t* d = record.data();
  h.sequence = LoadLe16(d + mft_record::kSequence);
  h.first_attribute = LoadLe16(d + mft_record::kFirstAttribute);
  h.flags = LoadLe16(d + mft_record::kFlags);
  h.bytes_in_use = LoadLe32(d + mft_record::kBytesInUse);
  h.bytes_allocated = LoadLe32(d + mft_record::kBytesAllocated);
  h.base_reference = LoadLe64(d + mft_record::kBaseReference);
  return h;
}

// The record number and the sequence number of a file reference.
inline constexpr std::uint64_t kRecordNumberMask = 0xFFFFFFFFFFFFull;
inline std::uint64_t RecordNumber(std::uint64_t reference) { return reference & kRecordNumberMask; }
inline std::uint16_t SequenceNumber(std::uint64_t reference) {
  return static_cast<std::uint16_t>(reference >> 48);
}
inline std::uint64_t FileReference(std::uint64_t record, std::uint16_t sequence) {
  return (record & kRecordNumberMask) | std::uint64_t{sequence} << 48;
}

// Whether `data` starts with the signature `magic` ("FILE", "INDX").
bool HasSignature(const std::uint8_t* data, const char (&magic)[5]);

// Update sequences protect every 512 bytes, whatever the sector size.
inline constexpr std::uint32_t kFixupStride = 512;

// Applies the update-sequence fixups of a multi-sector structure of `size`
// bytes in place. False, leaving it partly fixed, when they do not match:
// the structure was torn or damaged.
bool ApplyFixups(std::uint8_t* data, std::size_t size);

// Whether ApplyFixups would succeed, without changing anything.
bool FixupsHold(const std::uint8_t* data, std::size_t size);
// Whether reading `data` only up to its bytes in use (as attributes are
// read) sees no byte that fixups change: it may then be read in place.
bool UsedBytesNeedNoFixups(const std::uint8_t* data, std::size_t size);

// Whether the `size` bytes at `data` are a whole MFT record: the signature,
// and fixups that match (applied in place).
[[nodiscard]] bool FixUpRecord(std::uint8_t* data, std::size_t size);

}  // namespace qst
