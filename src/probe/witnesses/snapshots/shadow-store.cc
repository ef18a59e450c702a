#include "probe/witnesses/snapshots/shadow-store.h"

#include <algorithm>
#include <cstring>

#include "probe/le.h"

namespace qst {
namespace {

constexpr std::uint32_t kForwarder = 0x01, kOverlay = 0x02, kNotUsed = 0x04;
constexpr std::uint32_t kBitmapRecord = 6;
constexpr std::size_t kHeader = kShadowBlockHeader, kDescriptor = kShadowDescriptor, kSector = 512;

std::uint64_t BlockOf(std::uint64_t offset) { return offset / kShadowBlock; }

}  // namespace

bool ShadowStoreMap::ReadBitmap(VolumeReader& storage, std::uint64_t at, std::vector<bool>* bits) {
  constexpr std::uint64_t kPerBlock = (kShadowBlock - kHeader) * 8;
  // Held as the blocks are read, so that a volume's size the catalog
  // merely claims costs nothing.
  bits->clear();
  std::uint64_t bit = 0;
  // A chain is no longer than the storage volume holds blocks, whatever
  // size the catalog claims for the copied volume.
  const std::uint64_t most =
      std::min(volume_blocks_ / kPerBlock + 2, storage.Size() / kShadowBlock + 1);
  return ReadShadowChain(storage, at, kBitmapRecord, most,
                         [&](std::uint64_t, const std::uint8_t* block) {
                           bits->resize(std::min(volume_blocks_, bit + kPerBlock));
                           for (std::size_t i = kHeader; i < kShadowBlock; ++i)
                             for (int b = 0; b < 8; ++b, ++bit)
                               if (bit < bits->size() && (block[i] >> b & 1) != 0)
                                 (*bits)[bit] = true;
                         });
}

bool ShadowStoreMap::Read(VolumeReader& storage, const ShadowCatalogStore& entry,
                          std::uint64_t volume_size, bool newest, std::string* why) {
  volume_blocks_ = volume_size / kShadowBlock + (volume_size % kShadowBlock != 0);
  if (!entry.block_list || *entry.block_list == 0) {
    *why = "its catalog entry names no block list";
    return false;
  }
  // A list names each block of the volume once, but for overlays and
  // forwarders: four times the blocks a list of every block takes.
  constexpr std::uint64_t kPerBlock = (kShadowBlock - kHeader) / kDescriptor;
  // Nor more blocks than the storage volume holds.
  const std::uint64_t most =
      std::min(4 * (volume_blocks_ / kPerBlock + 2), storage.Size() / kShadowBlock + 1);
  const bool whole = ReadShadowChain(
      storage, *entry.block_list, kShadowBlockListRecord, most,
      [this](std::uint64_t, const std::uint8_t* block) {
        for (std::size_t d = kHeader; d + kDescriptor <= kShadowBlock; d += kDescriptor) {
          const std::uint8_t* p = block + d;
          ShadowDescriptor descriptor{LoadLe64(p), LoadLe64(p + 8), LoadLe64(p + 0x10),
                                      LoadLe32(p + 0x18), LoadLe32(p + 0x1c)};
          static constexpr std::uint8_t kEmpty[kDescriptor] = {};
          if (std::memcmp(p, kEmpty, kDescriptor) != 0) Add(descriptor);
        }
      });
  if (!whole) {
    *why = "its block list cannot be read whole";
    return false;
  }
  if (!newest) return true;
  if (entry.bitmap != 0 && !ReadBitmap(storage, entry.bitmap, &unused_)) {
    *why = "its bitmap cannot be read whole";
    return false;
  }
  has_previous_ = entry.previous_bitmap != 0;
  if (has_previous_ && !ReadBitmap(storage, entry.previous_bitmap, &previous_unused_)) {
    *why = "its previous bitmap cannot be read whole";
    return false;
  }
  return true;
}

void ShadowStoreMap::Add(ShadowDescriptor d) {
  if ((d.flags & kNotUsed) != 0 || BlockOf(d.original) >= volume_blocks_) return;
  if ((d.flags & kOverlay) == 0) {
    // A block that an earlier forwarder names stands for that forwarder's.
    if (auto it = reverse_.find(BlockOf(d.original)); it != reverse_.end()) {
      d.original = it->second.original;
      reverse_.erase(it);
    }
  }
  if ((d.flags & kForwarder) != 0 && d.original == d.relative) return;
  auto [it, added] = forward_.try_emplace(BlockOf(d.original), Block{d, std::nullopt});
  if (!added) {
    Block& block = it->second;
    if ((d.flags & kOverlay) != 0) {
      ShadowDescriptor* overlay = (block.descriptor.flags & kOverlay) != 0 ? &block.descriptor
                                  : block.overlay                          ? &*block.overlay
                                                                           : nullptr;
      if (overlay != nullptr)
        overlay->sectors |= d.sectors;
      else
        block.overlay = d;
      return;
    }
    // The block's overlay stays laid over the descriptor that replaces its own.
    std::optional<ShadowDescriptor> overlay =
        (block.descriptor.flags & kOverlay) != 0 ? std::optional(block.descriptor) : block.overlay;
    block = Block{d, overlay};
  }
  if ((d.flags & kForwarder) != 0 && BlockOf(d.relative) < volume_blocks_)
    reverse_[BlockOf(d.relative)] = d;
}

const ShadowStoreMap::Block* ShadowStoreMap::Find(std::uint64_t offset) const {
  auto it = forward_.find(BlockOf(offset));
  return it == forward_.end() ? nullptr : &it->second;
}

bool ShadowStoreMap::Forwarded(std::uint64_t offset) const {
  return reverse_.count(BlockOf(offset)) != 0;
}

bool ShadowStoreMap::Unused(std::uint64_t offset) const {
  const std::uint64_t b = BlockOf(offset);
  const bool unused = b < unused_.size() && unused_[b];
  return unused && (!has_previous_ || (b < previous_unused_.size() && previous_unused_[b]));
}

void ShadowChain::Add(VolumeReader& storage, std::uint64_t size, ShadowStoreMap map) {
  const auto index = static_cast<std::uint32_t>(stores_.size());
  map.ForEachBlock([&](std::uint64_t block) { holders_[block].push_back(index); });
  stores_.push_back(Store{&storage, size, std::move(map)});
}

std::size_t ShadowChain::NextHolder(std::size_t from, std::uint64_t offset) const {
  const std::size_t newest = stores_.size() - 1;
  const auto it = holders_.find(BlockOf(offset));
  if (it == holders_.end()) return newest;
  const auto next = std::lower_bound(it->second.begin(), it->second.end(), from);
  return next == it->second.end() ? newest : *next;
}

namespace {

// Within an overlay's block, the run of sectors from the one holding
// `within` that are all laid over (or all not): whether they are, and the
// bytes from `within` to the run's end.
std::pair<bool, std::size_t> OverlayRun(std::uint32_t sectors, std::uint64_t within) {
  std::uint64_t s = within / kSector;
  const bool laid = (sectors >> s & 1) != 0;
  while (s < kShadowBlock / kSector && ((sectors >> s & 1) != 0) == laid) ++s;
  return {laid, static_cast<std::size_t>(s * kSector - within)};
}

}  // namespace

ShadowChain::Piece ShadowChain::Locate(std::size_t s, std::uint64_t offset,
                                       std::size_t active) const {
  const Store& store = stores_[s];
  const bool newest = s + 1 == stores_.size();
  const std::uint64_t within = offset % kShadowBlock;
  Piece piece{Source::kNext, offset, static_cast<std::size_t>(kShadowBlock - within)};
  const ShadowDescriptor* use = nullptr;
  if (const ShadowStoreMap::Block* block = store.map.Find(offset)) {
    use = &block->descriptor;
    const ShadowDescriptor* overlay = (use->flags & kOverlay) != 0 ? use
                                      : block->overlay             ? &*block->overlay
                                                                   : nullptr;
    // Overlays are laid over the store read itself, not over the stores
    // that read through it.
    if (overlay != nullptr && s != active) {
      if (use == overlay) use = nullptr;
    } else if (overlay != nullptr) {
      auto [laid, run] = OverlayRun(overlay->sectors, within);
      piece.size = run;
      if (laid)
        use = overlay;
      else if (use == overlay)
        use = nullptr;
    }
  }
  if (use != nullptr) {
    const bool forwarder = (use->flags & kForwarder) != 0;
    piece.source = !forwarder ? Source::kStore : newest ? Source::kVolume : Source::kNext;
    piece.offset = (forwarder ? use->relative : use->offset) + within;
  } else if (newest) {
    piece.source = s == active && !store.map.Forwarded(offset) && store.map.Unused(offset)
                       ? Source::kZeros
                       : Source::kVolume;
  }
  return piece;
}

bool ShadowChain::Read(std::size_t active, std::uint64_t offset, std::uint8_t* out,
                       std::size_t size) const {
  while (size > 0) {
    // Through the newer stores until one holds the bytes, or the volume.
    std::size_t s = active;
    Piece piece = Locate(s, offset, active);
    std::size_t n = std::min(size, piece.size);
    while (piece.source == Source::kNext) {
      s = NextHolder(s + 1, piece.offset);
      piece = Locate(s, piece.offset, active);
      n = std::min(n, piece.size);
    }
    bool read = true;
    switch (piece.source) {
      case Source::kStore: read = stores_[s].storage->ReadAll(piece.offset, out, n); break;
      case Source::kVolume: read = volume_.ReadAll(piece.offset, out, n); break;
      case Source::kZeros: std::memset(out, 0, n); break;
      case Source::kNext: break;
    }
    if (!read) return false;
    offset += n;
    out += n;
    size -= n;
  }
  return true;
}

class ShadowChainReader : public VolumeReader {
 public:
  ShadowChainReader(std::shared_ptr<const ShadowChain> chain, std::size_t index)
      : chain_(std::move(chain)), index_(index) {}
  ReadStatus Read(std::uint64_t offset, void* buffer, std::size_t size) override {
    if (!Inside(offset, size, Size())) return ReadStatus::kPastEnd;
    return chain_->Read(index_, offset, static_cast<std::uint8_t*>(buffer), size)
               ? ReadStatus::kOk
               : ReadStatus::kFailed;
  }
  std::uint64_t Size() const override { return chain_->stores_[index_].size; }

 private:
  std::shared_ptr<const ShadowChain> chain_;
  std::size_t index_;
};

std::unique_ptr<VolumeReader> ShadowChain::Reader(std::shared_ptr<const ShadowChain> chain,
                                                  std::size_t index) {
  return std::make_unique<ShadowChainReader>(std::move(chain), index);
}

}  // namespace qst
