#include "probe/ntfs/object-id-index.h"

#include <cstring>

#include "probe/le.h"
#include "probe/ntfs/index.h"
#include "probe/ntfs/mft-record.h"

namespace qst {
namespace {

constexpr std::uint16_t kKeyLength = 16;
constexpr std::uint16_t kDataLength = 56;
constexpr std::size_t kBirthIds = 0x08;
constexpr std::uint16_t kMinEntry = 32;

}  // namespace

bool DecodeObjectIdEntry(const std::uint8_t* e, std::uint16_t length, ObjectIdEntry* out) {
  std::uint16_t data_offset = LoadLe16(e + index_entry::kDataOffset);
  std::uint16_t data_length = LoadLe16(e + index_entry::kDataLength);
  if (LoadLe16(e + index_entry::kKeyLength) != kKeyLength || data_length < kDataLength ||
      data_offset + std::uint32_t{kDataLength} > length || length < kMinEntry)
    return false;
  std::memcpy(out->object_id.data(), e + index_entry::kKey, kKeyLength);
  out->record = RecordNumber(LoadLe64(e + data_offset));
  std::memcpy(out->birth_ids.data(), e + data_offset + kBirthIds, out->birth_ids.size());
  return true;
}

}  // namespace qst
