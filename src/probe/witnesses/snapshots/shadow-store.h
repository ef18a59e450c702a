// The volume as a shadow copy store keeps it, read from the store's block
// list and bitmaps (layouts in shadow-catalog.h), wherever the store's data
// lies: in the copied volume itself, or on the volume its shadow storage
// was moved to. Stores are chained oldest first; each reads what it does
// not hold through the next newer store, and the newest through the volume.
//
// Block descriptors (32 bytes; flags at 0x18):
//   0x01 forwarder: the block is the one at the relative offset (0x08) in
//        the next newer store (or the volume, for the newest); data offset 0.
//   0x02 overlay: only the 512-byte sectors set in the bitmap (0x1C) lie at
//        the data offset (0x10); later overlays of the block add sectors.
//   0x04 not used: ignored.
// A later descriptor of a block replaces an earlier one; a descriptor whose
// block an earlier forwarder names takes that forwarder's block instead.
// The newest store reads a block that no descriptor names and its bitmap
// (and previous bitmap, where it has one) marks unused as zeros.
//
// Errors: an opener; false comes with `*why` in a few words. Costs follow
// the evidence: chains are bounded by what a list of the volume's blocks
// can take, and descriptors outside the volume are dropped.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "probe/volume-reader.h"
#include "probe/witnesses/snapshots/shadow-catalog.h"

namespace qst {

struct ShadowDescriptor {
  std::uint64_t original = 0;  // the volume's block it stands for
  std::uint64_t relative = 0;  // a forwarder's block in the next store
  std::uint64_t offset = 0;    // where its data lies on the storage volume
  std::uint32_t flags = 0;
  std::uint32_t sectors = 0;  // an overlay's 512-byte sectors
};

// What one store's block list and bitmaps say.
class ShadowStoreMap {
 public:
  // Reads the lists that `entry` (a type 3 entry's offsets) names from
  // `storage`, for a copied volume of `volume_size` bytes; the bitmaps only
  // where `newest` (only the newest store reads them).
  bool Read(VolumeReader& storage, const ShadowCatalogStore& entry, std::uint64_t volume_size,
            bool newest, std::string* why);

  // Takes one descriptor as the block list gives it, in its order.
  void Add(ShadowDescriptor d);

  struct Block {
    ShadowDescriptor descriptor;              // itself an overlay where the block has no other
    std::optional<ShadowDescriptor> overlay;  // the sectors laid over it
  };
  const Block* Find(std::uint64_t offset) const;
  bool Forwarded(std::uint64_t offset) const;  // a forwarder names the block
  bool Unused(std::uint64_t offset) const;     // both bitmaps mark it unused
  // Calls `visit` with each block (by number) a descriptor names.
  template <typename Visit>
  void ForEachBlock(Visit visit) const {
    for (const auto& [block, b] : forward_) visit(block);
  }

 private:
  bool ReadBitmap(VolumeReader& storage, std::uint64_t at, std::vector<bool>* bits);

  std::unordered_map<std::uint64_t, Block> forward_;             // by the volume's block
  std::unordered_map<std::uint64_t, ShadowDescriptor> reverse_;  // forwarders by their target
  std::uint64_t volume_blocks_ = 0;
  std::vector<bool> unused_, previous_unused_;
  bool has_previous_ = false;
};

// The stores of one volume, oldest first, each with the volume that holds
// its data; all must outlive the readers made from it.
class ShadowChain {
 public:
  explicit ShadowChain(VolumeReader& volume) : volume_(volume) {}
  // Adds the next newer store, of a volume of `size` bytes.
  void Add(VolumeReader& storage, std::uint64_t size, ShadowStoreMap map);
  // Keeps a volume that stores' data lie on for as long as the chain.
  void Keep(std::shared_ptr<VolumeReader> storage) { kept_.push_back(std::move(storage)); }
  std::size_t size() const { return stores_.size(); }

  // The volume as store `index` keeps it, holding the chain.
  static std::unique_ptr<VolumeReader> Reader(std::shared_ptr<const ShadowChain> chain,
                                              std::size_t index);

 private:
  friend class ShadowChainReader;
  struct Store {
    VolumeReader* storage;
    std::uint64_t size;
    ShadowStoreMap map;
  };
  // Where a read of a block's bytes goes: the store's storage volume, the
  // next newer store, the volume itself, or zeros.
  enum class Source { kStore, kNext, kVolume, kZeros };
  struct Piece {
    Source source;
    std::uint64_t offset;  // where in that source
    std::size_t size;      // bytes from there, within one block
  };
  // Where store `s` finds the bytes at `offset` when store `active` is read.
  Piece Locate(std::size_t s, std::uint64_t offset, std::size_t active) const;
  // Reads as store `active` holds it.
  bool Read(std::size_t active, std::uint64_t offset, std::uint8_t* out, std::size_t size) const;
  // The first store from `from` on that names the block holding `offset`;
  // the newest where none does (which then reads the volume).
  std::size_t NextHolder(std::size_t from, std::uint64_t offset) const;

  VolumeReader& volume_;
  std::vector<Store> stores_;
  // The stores that name each block, oldest first: a read passes over the
  // others at once, so that a chain of many stores costs what the
  // descriptors of the block read do, not a look in each store.
  std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> holders_;
  std::vector<std::shared_ptr<VolumeReader>> kept_;
};

}  // namespace qst
