#include "probe/witnesses/logfile/logfile-record.h"

#include <array>
#include <cstdio>

#include "probe/le.h"

namespace qst {
namespace {

constexpr std::size_t kThisLsn = 0x00;
constexpr std::size_t kPreviousLsn = 0x08;
constexpr std::size_t kUndoNextLsn = 0x10;
constexpr std::size_t kClientLength = 0x18;
constexpr std::size_t kType = 0x20;
constexpr std::size_t kTransaction = 0x24;
constexpr std::size_t kFlags = 0x28;
// 0x0001: spans pages; 0x0002, 0x0004: no redo, no undo buffer (Windows 8
// and later write them on most records).
constexpr std::uint16_t kKnownFlags = 0x0007;

constexpr std::size_t kRedo = 0x00;
constexpr std::size_t kUndo = 0x02;
constexpr std::size_t kRedoOffset = 0x04;
constexpr std::size_t kRedoLength = 0x06;
constexpr std::size_t kUndoOffset = 0x08;
constexpr std::size_t kUndoLength = 0x0A;
constexpr std::size_t kTargetAttribute = 0x0C;
constexpr std::size_t kLcnsToFollow = 0x0E;
constexpr std::size_t kRecordOffset = 0x10;
constexpr std::size_t kAttributeOffset = 0x12;
constexpr std::size_t kClusterBlock = 0x14;
constexpr std::size_t kTargetVcn = 0x18;
constexpr std::size_t kClientHeader = 0x20;

constexpr std::array<const char*, 0x26> kOperationNames = {
    "Noop",
    "CompensationLogRecord",
    "InitializeFileRecordSegment",
    "DeallocateFileRecordSegment",
    "WriteEndOfFileRecordSegment",
    "CreateAttribute",
    "DeleteAttribute",
    "UpdateResidentValue",
    "UpdateNonresidentValue",
    "UpdateMappingPairs",
    "DeleteDirtyClusters",
    "SetNewAttributeSizes",
    "AddIndexEntryRoot",
    "DeleteIndexEntryRoot",
    "AddIndexEntryAllocation",
    "DeleteIndexEntryAllocation",
    "WriteEndOfIndexBuffer",
    "SetIndexEntryVcnRoot",
    "SetIndexEntryVcnAllocation",
    "UpdateFileNameRoot",
    "UpdateFileNameAllocation",
    "SetBitsInNonresidentBitMap",
    "ClearBitsInNonresidentBitMap",
    "HotFix",
    "EndTopLevelAction",
    "PrepareTransaction",
    "CommitTransaction",
    "ForgetTransaction",
    "OpenNonresidentAttribute",
    "OpenAttributeTableDump",
    "AttributeNamesDump",
    "DirtyPageTableDump",
    "TransactionTableDump",
    "UpdateRecordDataRoot",
    "UpdateRecordDataAllocation",
    "UpdateRelativeDataInIndex",
    "UpdateRelativeDataInIndex2",
    "ZeroEndOfFileRecord",
};

}  // namespace

std::string LogOperationName(std::uint16_t operation) {
  if (operation < kOperationNames.size()) return kOperationNames[operation];
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(operation));
  return text;
}

bool ChangesFileRecord(std::uint16_t operation) {
  switch (operation) {
    case kLogInitializeFileRecordSegment:
    case kLogDeallocateFileRecordSegment:
    case kLogWriteEndOfFileRecordSegment:
    case kLogCreateAttribute:
    case kLogDeleteAttribute:
    case kLogUpdateResidentValue:
    case kLogUpdateMappingPairs:
    case kLogSetNewAttributeSizes:
    case kLogAddIndexEntryRoot:
    case kLogDeleteIndexEntryRoot:
    case kLogSetIndexEntryVcnRoot:
    case kLogUpdateFileNameRoot:
    case kLogUpdateRecordDataRoot:
    case kLogZeroEndOfFileRecord: return true;
    default: return false;
  }
}

bool LogHeaderHolds(const std::uint8_t* data, std::uint32_t* client_length) {
  const std::uint32_t type = LoadLe32(data + kType);
  if ((type != kLogClientRecord && type != kLogClientRestart) ||
      (LoadLe16(data + kFlags) & ~kKnownFlags) != 0)
    return false;
  *client_length = LoadLe32(data + kClientLength);
  return true;
}

std::uint64_t LogHeaderLsn(const std::uint8_t* data) { return LoadLe64(data + kThisLsn); }

bool DecodeLogRecord(const std::uint8_t* data, std::size_t size, LogRecord* out) {
  std::uint32_t length = 0;
  if (size < kLogRecordHeader || !LogHeaderHolds(data, &length) || length > size - kLogRecordHeader)
    return false;
  LogRecord r;
  r.lsn = LoadLe64(data + kThisLsn);
  r.previous_lsn = LoadLe64(data + kPreviousLsn);
  r.undo_next_lsn = LoadLe64(data + kUndoNextLsn);
  r.type = LoadLe32(data + kType);
  r.transaction = LoadLe32(data + kTransaction);
  r.flags = LoadLe16(data + kFlags);
  const std::uint8_t* c = data + kLogRecordHeader;
  if (r.type == kLogClientRecord && length >= kClientHeader) {
    const std::size_t lcns = LoadLe16(c + kLcnsToFollow);
    auto span = [&](std::size_t offset_at, std::size_t length_at) {
      const std::size_t offset = LoadLe16(c + offset_at), bytes = LoadLe16(c + length_at);
      if (bytes == 0) return std::span<const std::uint8_t>();
      if (offset < kClientHeader || offset + bytes > length) return std::span<const std::uint8_t>();
      return std::span<const std::uint8_t>(c + offset, bytes);
    };
    if (kClientHeader + 8 * lcns <= length) {
      r.has_client = true;
      r.redo = LoadLe16(c + kRedo);
      r.undo = LoadLe16(c + kUndo);
      r.target_attribute = LoadLe16(c + kTargetAttribute);
      r.record_offset = LoadLe16(c + kRecordOffset);
      r.attribute_offset = LoadLe16(c + kAttributeOffset);
      r.cluster_block = LoadLe16(c + kClusterBlock);
      r.target_vcn = LoadLe64(c + kTargetVcn);
      r.redo_data = span(kRedoOffset, kRedoLength);
      r.undo_data = span(kUndoOffset, kUndoLength);
    }
  }
  *out = r;
  return true;
}

}  // namespace qst
