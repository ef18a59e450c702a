#include "probe/ntfs/attribute-list.h"

#include "probe/le.h"
#include "probe/ntfs/mft-record.h"

namespace qst {
namespace {

constexpr std::size_t kType = 0x00;
constexpr std::size_t kLength = 0x04;
constexpr std::size_t kNameLength = 0x06;
constexpr std::size_t kStartVcn = 0x08;
constexpr std::size_t kReference = 0x10;
constexpr std::size_t kMinEntry = 26;

}  // namespace

std::vector<AttributeListEntry> DecodeAttributeList(const std::vector<std::uint8_t>& list) {
  std::vector<AttributeListEntry> entries;
  for (std::size_t pos = 0; pos + kMinEntry <= list.size();) {
    const std::uint8_t* e = list.data() + pos;
    std::uint16_t length = LoadLe16(e + kLength);
    if (length < kMinEntry || pos + length > list.size()) break;
    entries.push_back({LoadLe32(e + kType), e[kNameLength], LoadLe64(e + kStartVcn),
                       RecordNumber(LoadLe64(e + kReference))});
    pos += length;
  }
  return entries;
}

}  // namespace qst
