// The shadow copies' catalog and their block lists: which stores were made
// and when, where each store's data lies, and which blocks no store holds.
//
// Layout (every block 16 KiB; integers little-endian):
//   volume header at 0x1E00: the VSS identifier (16 bytes), its version
//     at 0x10 (1 or 2), the catalog's offset at 0x30.
//   catalog: a chain of blocks, each a 128-byte header (identifier; record
//     type 2 at 0x14; this block's offset at 0x20; the next one's at 0x28,
//     0 at the end) and 127 entries of 128 bytes:
//       type 2 (at 0): a store; the volume's size at 8, its GUID at 0x10,
//         creation FILETIME at 0x30. Always in the copied volume's catalog.
//       type 3: where its data lies; GUID at 0x10, block list offset at 8,
//         store header 0x20, block ranges 0x28, bitmap 0x30, previous
//         bitmap 0x48 (0: none). In the catalog of the volume that holds
//         the data: the copied volume's own, or that of the volume its
//         shadow storage was moved to, whose offsets these are.
//   bitmap: a chain of blocks (record type 6), each bit after the header
//     one 16 KiB block of the volume, lowest bit first, set where the
//     block was not in use when the store was made.
//   block list: a chain of blocks, header as above (record type 3), then
//     508 descriptors of 32 bytes: the volume offset of the 16 KiB block the
//     store keeps (at 0), the offset within the store or the next store it
//     forwards to (8), the store data's offset (0x10), flags (0x18),
//     a bitmap of 512-byte sectors (0x1C).
//
// A store reads a block its list does not name through the next newer
// store, and the newest through the volume itself: a block that no list
// from a store on names is the volume's own.
//
// Errors: what cannot be read is absent (an empty optional), never a guess.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "probe/volume-reader.h"

namespace qst {

constexpr std::uint64_t kShadowBlock = 16 << 10;
// Each block's header, and a block list's descriptors after it.
constexpr std::size_t kShadowBlockHeader = 128, kShadowDescriptor = 32;
constexpr std::uint32_t kShadowBlockListRecord = 3;

struct ShadowCatalogStore {
  std::array<std::uint8_t, 16> id{};
  std::optional<std::uint64_t> created;     // from its type 2 entry
  std::uint64_t created_at = 0;             // where that time lies in the volume
  std::uint64_t volume_size = 0;            // from its type 2 entry
  std::optional<std::uint64_t> block_list;  // from its type 3 entry, as these:
  std::uint64_t bitmap = 0;
  std::uint64_t previous_bitmap = 0;
};

// Gives `each` the 16 KiB blocks of the chain that starts at `at`, each
// with the identifier and the `record` type, with its offset; false when
// one cannot be read, is not of the kind, comes round again or the chain
// passes `most` blocks.
bool ReadShadowChain(VolumeReader& volume, std::uint64_t at, std::uint32_t record,
                     std::uint64_t most,
                     const std::function<void(std::uint64_t at, const std::uint8_t* block)>& each);

// Whether the volume holds the shadow copies' header (at 0x1E00): a
// volume without it has no stores.
bool HasShadowCopyHeader(VolumeReader& volume);
// The version of that header; 0 where there is none.
std::uint32_t ShadowCopyHeaderVersion(VolumeReader& volume);

// The stores the catalog names, in its order; empty when the volume has no
// shadow-copy header or its catalog cannot be read whole (then `*whole`,
// where given, is false).
std::vector<ShadowCatalogStore> ReadShadowCatalog(VolumeReader& volume, bool* whole = nullptr);

// The volume offsets (16 KiB steps) of the blocks the block list at
// `offset` names, every block of its chain read; empty optional when the
// chain cannot be read whole, is not a block list, loops, or is longer
// than a list of the volume's blocks can be.
std::optional<std::vector<std::uint64_t>> ReadShadowBlockList(VolumeReader& volume,
                                                              std::uint64_t offset);

// Which blocks of each store are the volume's own, so that a read need
// not go through every newer store to learn it.
class ShadowBlockOwners {
 public:
  // `lists[i]`: the blocks store i names (stores oldest first, as the
  // library chains them), absent where its list could not be read or the
  // store's data is not on the volume.
  explicit ShadowBlockOwners(const std::vector<std::optional<std::vector<std::uint64_t>>>& lists);
  // Whether the 16 KiB block at `offset` of store `store` is the volume's:
  // false where that is not known (a newer list not read) and for the
  // newest store, which the library reads with its bitmaps.
  bool FromVolume(std::size_t store, std::uint64_t offset) const;

 private:
  std::vector<std::pair<std::uint64_t, std::uint32_t>> newest_;  // block, newest store naming it
  std::size_t known_from_ = 0;  // stores from here on have lists that were read
  std::size_t stores_ = 0;
};

}  // namespace qst
