#include "probe/ntfs/index.h"

#include <algorithm>
#include <cstring>

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

bool ForEachNodeEntry(const std::uint8_t* header, std::size_t available,
                      const IndexEntryVisitor& visit) {
  if (available < kNodeHeaderSize) return false;
  std::uint64_t first = LoadLe32(header + kFirstEntry);
  std::uint64_t end = std::min<std::uint64_t>(LoadLe32(header + kEntriesEnd), available);
  for (std::uint64_t pos = first; pos + kMinEntry <= end;) {
    const std::uint8_t* e = header + pos;
    std::uint16_t length = LoadLe16(e + kEntryLength);
    if (length < kMinEntry || pos + length > end) return false;
    if (LoadLe16(e + kEntryFlags) & kLastEntry) return true;
    visit(e, length);
    pos += length;
  }
  // Entries run out before the node's end marker.
  return false;
}

}  // namespace

bool ForEachRootEntry(const std::vector<std::uint8_t>& root, const IndexEntryVisitor& visit) {
  return root.size() >= kRootHeader + kNodeHeaderSize &&
         ForEachNodeEntry(root.data() + kRootHeader, root.size() - kRootHeader, visit);
}

bool ForEachBlockEntry(std::uint8_t* block, std::uint32_t block_size,
                       const IndexEntryVisitor& visit) {
  return FixUpBlock(block, block_size) && ForEachFixedBlockEntry(block, block_size, visit);
}

bool ForEachFixedBlockEntry(const std::uint8_t* block, std::uint32_t block_size,
                            const IndexEntryVisitor& visit) {
  return ForEachNodeEntry(block + kBlockNodeHeader, block_size - kBlockNodeHeader, visit);
}

namespace {

// Copies a block of `size` bytes: whole with `whole`, else its header, the
// entries in use and the tails of its sectors (which its fixups check): the
// rest of a block is often as large as its entries, and nobody reads it.
void CopyBlock(const std::uint8_t* from, std::uint32_t size, bool whole, std::uint8_t* to) {
  const std::uint64_t header = kBlockNodeHeader + kNodeHeaderSize;
  const std::uint64_t used =
      whole || size < header
          ? size
          : std::min<std::uint64_t>(
                size, kBlockNodeHeader + LoadLe32(from + kBlockNodeHeader + kEntriesEnd));
  std::memcpy(to, from, std::max(used, std::min<std::uint64_t>(header, size)));
  for (std::uint64_t tail = kFixupStride - 2; tail + 2 <= size; tail += kFixupStride)
    if (tail + 2 > used) std::memcpy(to + tail, from + tail, 2);
}

// Blocks that follow one another inside a run, shown or read together.
class Stretch {
 public:
  explicit Stretch(VolumeReader& reader) : reader_(reader) {}
  ~Stretch() { Drop(); }
  Stretch(const Stretch&) = delete;
  Stretch& operator=(const Stretch&) = delete;

  // Whether the `size` bytes at `at` in the data are held.
  bool Holds(std::uint64_t at, std::uint64_t size) const { return at >= from_ && at + size <= to_; }
  // Whether a stretch may be tried at `at`: not inside one that failed,
  // where the blocks are read one by one, so that a failure costs one.
  bool Worth(std::uint64_t at) const { return at >= failed_to_; }
  // Holds the `size` bytes at `at` in the data, `offset` on the volume.
  void Load(std::uint64_t offset, std::uint64_t at, std::uint64_t size) {
    Drop();
    view_ = reader_.View(offset, size);
    if (view_ == nullptr) {
      bytes_.resize(size);
      if (reader_.Read(offset, bytes_.data(), size) != ReadStatus::kOk) {
        failed_to_ = at + size;
        return;
      }
    }
    from_ = at;
    to_ = at + size;
  }
  // The bytes at `at` in the data, held.
  const std::uint8_t* At(std::uint64_t at) const {
    return (view_ != nullptr ? view_ : bytes_.data()) + (at - from_);
  }
  void Drop() {
    if (view_ != nullptr) reader_.Unview(view_, to_ - from_);
    view_ = nullptr;
    from_ = to_ = 0;
  }

 private:
  VolumeReader& reader_;
  std::uint64_t from_ = 0, to_ = 0;  // its place in the data
  std::uint64_t failed_to_ = 0;      // where the last one that failed ends
  const std::uint8_t* view_ = nullptr;
  std::vector<std::uint8_t> bytes_;
};

// Reads the blocks of an index's data, in use or, with `free_too`, all.
// Blocks that follow one another inside a run are read together, up to
// a stretch; each is copied out to be fixed up.
void WalkBlocks(VolumeReader& reader, const Runs& runs, std::uint64_t data_size,
                const std::vector<std::uint8_t>& bitmap, std::uint32_t block_size,
                std::unordered_set<std::uint64_t>* seen, bool free_too,
                const IndexBlockFilter& take, const IndexBlockVisitor& visit) {
  if (block_size <= kBlockNodeHeader) return;
  const std::uint64_t blocks = data_size / block_size;
  auto in_use = [&](std::uint64_t b) {
    return bitmap.empty() || (b / 8 < bitmap.size() && (bitmap[b / 8] >> (b % 8)) & 1);
  };
  auto wanted = [&](std::uint64_t b) { return free_too || in_use(b); };
  constexpr std::uint64_t kStretch = 64 << 10;
  std::vector<std::uint8_t> block(block_size);
  Stretch stretch(reader);
  std::uint64_t next = 0;  // the first block not yet looked at
  std::uint64_t pos = 0;   // where the run begins in the data
  for (const auto& [start, length] : runs) {
    const std::uint64_t end = pos + length;
    if (start != kSparse && start < reader.Size()) {
      // The blocks that this run holds a part of, as far as the image goes.
      const std::uint64_t held = pos + std::min(length, reader.Size() - start);
      stretch.Drop();
      for (std::uint64_t b = std::max(next, pos / block_size); b < blocks && b * block_size < held;
           ++b) {
        next = b + 1;
        const bool used = in_use(b);
        if (!used && !free_too) continue;
        std::uint64_t at = b * block_size;
        const std::uint64_t place = at >= pos ? start + (at - pos) : kNoPlace;
        if (at >= pos && !seen->insert(place).second) continue;
        if (take && place != kNoPlace && !take(place)) continue;
        const bool whole_in_run = at >= pos && at + block_size <= held;
        if (whole_in_run && stretch.Worth(at) && !stretch.Holds(at, block_size)) {
          std::uint64_t last = b + 1;
          while (last < blocks && (last + 1) * block_size <= held &&
                 (last - b) * block_size < kStretch && wanted(last))
            ++last;
          stretch.Load(start + (at - pos), at, (last - b) * block_size);
        }
        bool read = true;
        if (stretch.Holds(at, block_size))
          CopyBlock(stretch.At(at), block_size, free_too, block.data());
        else  // begun in the run before, cut short by the image, or failed
          read = ReadThroughRuns(reader, runs, at, block.data(), block_size) == ReadStatus::kOk;
        visit(block.data(), used, read, place);
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
  WalkBlocks(reader, runs, data_size, bitmap, block_size, seen, false, {},
             [&](std::uint8_t* block, bool, bool read, std::uint64_t) {
               if (read) visit(block);
             });
}

void ForEachIndexBlockWithFree(VolumeReader& reader, const Runs& runs, std::uint64_t data_size,
                               const std::vector<std::uint8_t>& bitmap, std::uint32_t block_size,
                               std::unordered_set<std::uint64_t>* seen, bool free_too,
                               const IndexBlockFilter& take, const IndexBlockVisitor& visit) {
  WalkBlocks(reader, runs, data_size, bitmap, block_size, seen, free_too, take, visit);
}

std::span<const std::uint8_t> NodeSlack(const std::uint8_t* header, std::size_t available) {
  if (available < kNodeHeaderSize) return {};
  const std::uint64_t end = LoadLe32(header + kEntriesEnd);
  if (end >= available) return {};
  // From the node's end marker on where there is room for one before the
  // end: a removed last entry's key may lie whole right after it.
  const std::uint64_t first = LoadLe32(header);
  const std::uint64_t start = end % 8 == 0 && end >= first + 16 ? end - 16 : (end + 7) / 8 * 8;
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
