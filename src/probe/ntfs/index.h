// A folder's $I30 index (and any other NTFS index, such as $ObjId's $O): a
// B-tree whose root node is the value of $INDEX_ROOT (0x90) and whose other
// nodes are blocks of $INDEX_ALLOCATION (0xA0).
//
// $INDEX_ROOT value: 16 bytes of root header, then a node header.
// Index block (the boot sector's index block size):
//   0x00  4  signature, "INDX"
//   0x04     update sequence, as in an MFT record
//   0x18     node header
// Node header (offsets from its own start):
//   0x00  4  offset of the first entry
//   0x04  4  end of the entries in use
// Index entry:
//   0x00  8  $I30: the file's reference; $O: data offset (2), data length (2)
//   0x08  2  entry length
//   0x0A  2  key length
//   0x0C  2  flags: 0x01 a sub-node follows, 0x02 the last entry (no key)
//   0x10     key: $I30, the file's $FILE_NAME value; $O, the object ID
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <unordered_set>
#include <vector>

#include "probe/ntfs/attribute-values.h"
#include "probe/ntfs/run-list.h"
#include "probe/volume-reader.h"

namespace qst {

// Called with each entry that holds a key, checked to lie whole inside its
// node.
using IndexEntryVisitor = std::function<void(const std::uint8_t* entry, std::uint16_t length)>;

// Visits the entries of the root node: `root` is the $INDEX_ROOT value.
// Each returns whether the node was read whole, to its end marker: false
// where an entry's length or the node header's offsets break it off.
[[nodiscard]] bool ForEachRootEntry(const std::vector<std::uint8_t>& root,
                                    const IndexEntryVisitor& visit);

// Visits the entries of one index block of `block_size` bytes, fixing it up
// in place; none when it is no whole "INDX" block.
[[nodiscard]] bool ForEachBlockEntry(std::uint8_t* block, std::uint32_t block_size,
                                     const IndexEntryVisitor& visit);

// The same for a block already fixed up (FixUpBlock).
[[nodiscard]] bool ForEachFixedBlockEntry(const std::uint8_t* block, std::uint32_t block_size,
                                          const IndexEntryVisitor& visit);

// Reads, one at a time, the blocks of an index's $INDEX_ALLOCATION (its
// `data_size` bytes of data, held by `runs`) that the index's $BITMAP marks
// in use (`bitmap`; every block when it is empty). Only what lies in
// clusters is read: sparse stretches cost nothing, however long. A block
// whose place on the volume is in `seen` is not read again, and each read
// is added to it. `visit` gets each block read, not yet fixed up: its
// header, its entries in use and what its fixups check, the bytes past
// its entries being left as they were.
void ForEachIndexBlock(VolumeReader& reader, const Runs& runs, std::uint64_t data_size,
                       const std::vector<std::uint8_t>& bitmap, std::uint32_t block_size,
                       std::unordered_set<std::uint64_t>* seen,
                       const std::function<void(std::uint8_t* block)>& visit);

// The same, with `free_too` over the blocks the $BITMAP marks free as well,
// each block then whole: `visit` gets each block (not yet fixed up), whether
// it is in use, whether it could be read (its bytes are then those of the
// last block read, or zeros) and its place on the volume (kNoPlace for a
// block split across runs). `take`, where given, is asked first for each
// block's place: a block it refuses is not read.
inline constexpr std::uint64_t kNoPlace = ~std::uint64_t{0};
using IndexBlockFilter = std::function<bool(std::uint64_t place)>;
using IndexBlockVisitor =
    std::function<void(std::uint8_t* block, bool in_use, bool read, std::uint64_t place)>;
void ForEachIndexBlockWithFree(VolumeReader& reader, const Runs& runs, std::uint64_t data_size,
                               const std::vector<std::uint8_t>& bitmap, std::uint32_t block_size,
                               std::unordered_set<std::uint64_t>* seen, bool free_too,
                               const IndexBlockFilter& take, const IndexBlockVisitor& visit);

// Applies a block's fixups; false when it is no whole "INDX" block.
[[nodiscard]] bool FixUpBlock(std::uint8_t* block, std::uint32_t block_size);

// The slack of a node: the bytes past its entries in use, from its end
// marker (or the first 8-byte step past the entries), to the end of the
// root value or of the (fixed-up) block; empty when there is none.
std::span<const std::uint8_t> RootSlack(const std::vector<std::uint8_t>& root);
std::span<const std::uint8_t> BlockSlack(const std::uint8_t* block, std::uint32_t block_size);
// All of a block's room for entries, for a block no longer in use.
std::span<const std::uint8_t> BlockEntries(const std::uint8_t* block, std::uint32_t block_size);

// An entry of a $I30 index.
struct FileNameEntry {
  std::uint64_t reference = 0;  // the file's, with its sequence number
  FileNameValue key;            // the $FILE_NAME value as it was indexed
};

// False when the entry's key is no whole $FILE_NAME value with a name.
[[nodiscard]] bool DecodeFileNameEntry(const std::uint8_t* entry, std::uint16_t length,
                                       FileNameEntry* out);

// Field offsets of an entry, for indexes with keys of their own.
namespace index_entry {
inline constexpr std::size_t kDataOffset = 0x00;
inline constexpr std::size_t kDataLength = 0x02;
inline constexpr std::size_t kKeyLength = 0x0A;
inline constexpr std::size_t kKey = 0x10;
}  // namespace index_entry

// The largest $INDEX_ROOT and index $BITMAP read for one index.
inline constexpr std::size_t kMaxIndexRoot = 65536;
inline constexpr std::size_t kMaxIndexBitmap = 1u << 20;

}  // namespace qst
