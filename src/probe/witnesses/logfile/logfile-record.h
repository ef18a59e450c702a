// A record of $LogFile: the log's own header, then, for NTFS's records,
// the operation to redo and the one to undo, with the bytes of each.
//
// Log record header (0x30 bytes, 8-byte aligned in the log):
//   0x00  8  this LSN              0x08  8  client's previous LSN
//   0x10  8  client's undo-next LSN
//   0x18  4  client data length (what follows the header)
//   0x1C  2  client sequence number   0x1E  2  client index
//   0x20  4  record type (1: client record, 2: client restart area)
//   0x24  4  transaction ID        0x28  2  flags (0x0001: spans pages, 0x0002: no
//                                     redo data, 0x0004: no undo data)
// NTFS client data (of a client record):
//   0x00  2  redo operation        0x02  2  undo operation
//   0x04  2  redo offset           0x06  2  redo length
//   0x08  2  undo offset           0x0A  2  undo length
//     (offsets from the start of the client data)
//   0x0C  2  target attribute (in the open attribute table)
//   0x0E  2  LCNs to follow
//   0x10  2  record offset (of the change, in the attribute or entry)
//   0x12  2  attribute offset (of the attribute, in the MFT record)
//   0x14  2  cluster block offset (512-byte units into the target VCN)
//   0x16  2  reserved
//   0x18  8  target VCN
//   0x20     the LCNs, 8 bytes each
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace qst {

inline constexpr std::size_t kLogRecordHeader = 0x30;
// A record's target where it changes no MFT record.
inline constexpr std::uint64_t kNoLogTarget = ~std::uint64_t{0};
inline constexpr std::uint32_t kLogClientRecord = 1;
inline constexpr std::uint32_t kLogClientRestart = 2;

// NTFS's log operations, by code.
enum LogOperation : std::uint16_t {
  kLogNoop = 0x00,
  kLogCompensation = 0x01,
  kLogInitializeFileRecordSegment = 0x02,
  kLogDeallocateFileRecordSegment = 0x03,
  kLogWriteEndOfFileRecordSegment = 0x04,
  kLogCreateAttribute = 0x05,
  kLogDeleteAttribute = 0x06,
  kLogUpdateResidentValue = 0x07,
  kLogUpdateNonresidentValue = 0x08,
  kLogUpdateMappingPairs = 0x09,
  kLogSetNewAttributeSizes = 0x0B,
  kLogAddIndexEntryRoot = 0x0C,
  kLogDeleteIndexEntryRoot = 0x0D,
  kLogAddIndexEntryAllocation = 0x0E,
  kLogDeleteIndexEntryAllocation = 0x0F,
  kLogSetIndexEntryVcnRoot = 0x11,
  kLogUpdateFileNameRoot = 0x13,
  kLogUpdateFileNameAllocation = 0x14,
  kLogUpdateRecordDataRoot = 0x21,
  kLogZeroEndOfFileRecord = 0x25,
};

// The name of an operation ("UpdateResidentValue"); "0x.." for a code with
// none.
std::string LogOperationName(std::uint16_t operation);
// Whether an operation changes an MFT record (its target is one, found
// from the target VCN and cluster block offset).
bool ChangesFileRecord(std::uint16_t operation);

struct LogRecord {
  std::uint64_t lsn = 0, previous_lsn = 0, undo_next_lsn = 0;
  std::uint32_t type = 0, transaction = 0;
  std::uint16_t flags = 0;
  bool has_client = false;  // the NTFS fields below were read
  std::uint16_t redo = 0, undo = 0;
  std::uint16_t target_attribute = 0, record_offset = 0, attribute_offset = 0;
  std::uint16_t cluster_block = 0;
  std::uint64_t target_vcn = 0;
  std::span<const std::uint8_t> redo_data, undo_data;  // inside the record's bytes
};

// Decodes a whole record (`size` bytes: header and client data); false
// when its lengths contradict each other. The spans point into `data`.
[[nodiscard]] bool DecodeLogRecord(const std::uint8_t* data, std::size_t size, LogRecord* out);

// The length of the client data a header at `data` announces, and whether
// the header can start a record at all (type, flags).
bool LogHeaderHolds(const std::uint8_t* data, std::uint32_t* client_length);
std::uint64_t LogHeaderLsn(const std::uint8_t* data);

}  // namespace qst
