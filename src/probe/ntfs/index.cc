#include "probe/ntfs/index.h"

#include <algorithm>

#include "probe/le.h"
#include "probe/ntfs/mft-record.h"

namespace qst {
namespace {

constexpr std::size_t kRootHeader = 16;
constexpr std::size_t kBlockNodeHeader = 0x18;
constexpr std::size_t kNodeHeaderSize = 16;
constexpr std::size_t kFirstEntry = 0x00;
constexpr std::size_t kEntriesEnd = 0x04;
constexpr std::size_t kEntryLength = 0x08;
constexpr std::size_t kEntryFlags = 0x0C;
constexpr std::size_t kMinEntry = 16;
constexpr std::uint16_t kLastEntry = 0x02;
constexpr std::size_t kReference = 0x00;

void ForEachNodeEntry(const std::uint8_t* header, std::size_t available,
                      const IndexEntryVisitor& visit) {
  if (available < kNodeHeaderSize) return;
  std::uint64_t first = LoadLe32(header + kFirstEntry);
  std::uint64_t end = std::min<std::uint64_t>(LoadLe32(header + kEntriesEnd), available);
  for (std::uint64_t pos = first; pos + kMinEntry <= end;) {
    const std::uint8_t* e = header + pos;
    std::uint16_t length = LoadLe16(e + kEntryLength);
    if (length < kMinEntry || pos + length > end) break;
    if (LoadLe16(e + kEntryFlags) & kLastEntry) break;
    visit(e, length);
    pos += length;
  }
}

}  // namespace

void ForEachIndexEntry(const std::vector<std::uint8_t>& root, std::vector<std::uint8_t>& blocks,
                       std::uint32_t block_size, const IndexEntryVisitor& visit) {
  if (root.size() >= kRootHeader + kNodeHeaderSize)
    ForEachNodeEntry(root.data() + kRootHeader, root.size() - kRootHeader, visit);
  if (block_size <= kBlockNodeHeader) return;
  for (std::size_t off = 0; off + block_size <= blocks.size(); off += block_size) {
    std::uint8_t* block = blocks.data() + off;
    if (!HasSignature(block, "INDX") || !ApplyFixups(block, block_size)) continue;
    ForEachNodeEntry(block + kBlockNodeHeader, block_size - kBlockNodeHeader, visit);
  }
}

bool DecodeFileNameEntry(const std::uint8_t* entry, std::uint16_t length, FileNameEntry* out) {
  std::uint16_t key_length = LoadLe16(entry + index_entry::kKeyLength);
  if (index_entry::kKey + key_length > length) return false;
  FileNameValue key;
  if (!DecodeFileName(entry + index_entry::kKey, key_length, &key) || key.length == 0) return false;
  out->reference = LoadLe64(entry + kReference);
  out->key = key;
  return true;
}

}  // namespace qst
