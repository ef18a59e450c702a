#include "probe/ntfs/mft-record.h"

#include <algorithm>
#include <cstring>

namespace qst {
namespace {

constexpr std::size_t kSequenceArrayOffset = 0x04;
constexpr std::size_t kSequenceArrayCount = 0x06;
// The array lies after the signature and its own two fields.
constexpr std::size_t kMinSequenceArrayOffset = 8;

}  // namespace

bool HasSignature(const std::uint8_t* data, const char (&magic)[5]) {
  return std::memcmp(data, magic, 4) == 0;
}

bool FixupsHold(const std::uint8_t* data, std::size_t size) {
  std::uint16_t offset = LoadLe16(data + kSequenceArrayOffset);
  std::uint16_t count = LoadLe16(data + kSequenceArrayCount);
  if (count == 0 || count - 1u != size / kFixupStride || offset + 2u * count > size ||
      offset < kMinSequenceArrayOffset)
    return false;
  const std::uint8_t* array = data + offset;
  for (std::uint32_t i = 1; i < count; ++i) {
    const std::uint8_t* tail = data + i * kFixupStride - 2;
    if (tail[0] != array[0] || tail[1] != array[1]) return false;
  }
  return true;
}

bool ApplyFixups(std::uint8_t* data, std::size_t size) {
  if (!FixupsHold(data, size)) return false;
  const std::uint8_t* array = data + LoadLe16(data + kSequenceArrayOffset);
  std::uint16_t count = LoadLe16(data + kSequenceArrayCount);
  for (std::uint32_t i = 1; i < count; ++i) {
    std::uint8_t* tail = data + i * kFixupStride - 2;
    tail[0] = array[2 * i];
    tail[1] = array[2 * i + 1];
  }
  return true;
}

bool UsedBytesNeedNoFixups(const std::uint8_t* data, std::size_t size) {
  // The header read before the bytes in use are known lies well inside the
  // first stride.
  std::uint64_t used = std::min<std::uint64_t>(LoadLe32(data + mft_record::kBytesInUse), size);
  return used <= kFixupStride - 2;
}

bool FixUpRecord(std::uint8_t* data, std::size_t size) {
  return HasSignature(data, "FILE") && ApplyFixups(data, size);
}

}  // namespace qst
