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

void ForEachRootEntry(const std::vector<std::uint8_t>& root, const IndexEntryVisitor& visit) {
  if (root.size() >= kRootHeader + kNodeHeaderSize)
    ForEachNodeEntry(root.data() + kRootHeader, root.size() - kRootHeader, visit);
}

void ForEachBlockEntry(std::uint8_t* block, std::uint32_t block_size,
                       const IndexEntryVisitor& visit) {
  if (FixUpBlock(block, block_size)) ForEachFixedBlockEntry(block, block_size, visit);
}

void ForEachFixedBlockEntry(const std::uint8_t* block, std::uint32_t block_size,
                            const IndexEntryVisitor& visit) {
  ForEachNodeEntry(block + kBlockNodeHeader, block_size - kBlockNodeHeader, visit);
}

namespace {

// Reads the blocks of an index's data, in use or, with `free_too`, all.
void WalkBlocks(VolumeReader& reader, const Runs& runs, std::uint64_t data_size,
                const std::vector<std::uint8_t>& bitmap, std::uint32_t block_size,
                std::unordered_set<std::uint64_t>* seen, bool free_too,
                const std::function<void(std::uint8_t* block, bool in_use, bool read)>& visit) {
  if (block_size <= kBlockNodeHeader) return;
  const std::uint64_t blocks = data_size / block_size;
  auto in_use = [&](std::uint64_t b) {
    return bitmap.empty() || (b / 8 < bitmap.size() && (bitmap[b / 8] >> (b % 8)) & 1);
  };
  std::vector<std::uint8_t> block(block_size);
  std::uint64_t next = 0;  // the first block not yet looked at
  std::uint64_t pos = 0;   // where the run begins in the data
  for (const auto& [start, length] : runs) {
    const std::uint64_t end = pos + length;
    if (start != kSparse && start < reader.Size()) {
      // The blocks that this run holds a part of, as far as the image goes.
      const std::uint64_t held = pos + std::min(length, reader.Size() - start);
      for (std::uint64_t b = std::max(next, pos / block_size); b < blocks && b * block_size < held;
           ++b) {
        next = b + 1;
        const bool used = in_use(b);
        if (!used && !free_too) continue;
        std::uint64_t at = b * block_size;
        if (at >= pos && !seen->insert(start + (at - pos)).second) continue;
        const bool read =
            ReadThroughRuns(reader, runs, at, block.data(), block_size) == ReadStatus::kOk;
        visit(block.data(), used, read);
      }
    }
    pos = end;
    if (pos >= data_size) break;
  }
}

}  // namespace

void ForEachIndexBlock(VolumeReader& reader, const Runs& runs, std::uint64_t data_size,
                       const std::vector<std::uint8_t>& bitmap, std::uint32_t block_size,
                       std::unordered_set<std::uint64_t>* seen,
                       const std::function<void(std::uint8_t* block)>& visit) {
  WalkBlocks(reader, runs, data_size, bitmap, block_size, seen, false,
             [&](std::uint8_t* block, bool, bool read) {
               if (read) visit(block);
             });
}

void ForEachIndexBlockWithFree(
    VolumeReader& reader, const Runs& runs, std::uint64_t data_size,
    const std::vector<std::uint8_t>& bitmap, std::uint32_t block_size,
    std::unordered_set<std::uint64_t>* seen, bool free_too,
    const std::function<void(std::uint8_t* block, bool in_use, bool read)>& visit) {
  WalkBlocks(reader, runs, data_size, bitmap, block_size, seen, free_too, visit);
}

std::span<const std::uint8_t> NodeSlack(const std::uint8_t* header, std::size_t available) {
  if (available < kNodeHeaderSize) return {};
  const std::uint64_t end = LoadLe32(header + kEntriesEnd);
  if (end >= available) return {};
  const std::uint64_t start = (end + 7) / 8 * 8;
  return start >= available ? std::span<const std::uint8_t>()
                            : std::span<const std::uint8_t>(header + start, available - start);
}

std::span<const std::uint8_t> RootSlack(const std::vector<std::uint8_t>& root) {
  if (root.size() < kRootHeader + kNodeHeaderSize) return {};
  return NodeSlack(root.data() + kRootHeader, root.size() - kRootHeader);
}

std::span<const std::uint8_t> BlockSlack(const std::uint8_t* block, std::uint32_t block_size) {
  if (block_size <= kBlockNodeHeader) return {};
  return NodeSlack(block + kBlockNodeHeader, block_size - kBlockNodeHeader);
}

std::span<const std::uint8_t> BlockEntries(const std::uint8_t* block, std::uint32_t block_size) {
  const std::size_t from = kBlockNodeHeader + kNodeHeaderSize;
  if (block_size <= from) return {};
  return std::span<const std::uint8_t>(block + from, block_size - from);
}

bool FixUpBlock(std::uint8_t* block, std::uint32_t block_size) {
  return block_size > kBlockNodeHeader && HasSignature(block, "INDX") &&
         ApplyFixups(block, block_size);
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
