#include "probe/witnesses/snapshots/shadow-catalog.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "probe/le.h"

namespace qst {
namespace {

constexpr std::uint64_t kVolumeHeader = 0x1e00;
constexpr std::size_t kEntry = 128;
constexpr std::uint8_t kVssIdentifier[16] = {0x6b, 0x87, 0x08, 0x38, 0x76, 0xc1, 0x48, 0x4e,
                                             0xb7, 0xae, 0x04, 0x04, 0x6e, 0x6c, 0xc7, 0x52};
constexpr std::uint32_t kCatalogRecord = 2;

}  // namespace

bool ReadShadowChain(VolumeReader& volume, std::uint64_t at, std::uint32_t record,
                     std::uint64_t most,
                     const std::function<void(std::uint64_t at, const std::uint8_t* block)>& each) {
  std::vector<std::uint8_t> block(kShadowBlock);
  std::set<std::uint64_t> seen;
  for (; at != 0; at = LoadLe64(block.data() + 0x28)) {
    if (seen.size() == most || !seen.insert(at).second) return false;
    if (!volume.ReadAll(at, block.data(), block.size())) return false;
    if (std::memcmp(block.data(), kVssIdentifier, 16) != 0 ||
        LoadLe32(block.data() + 0x14) != record)
      return false;
    each(at, block.data());
  }
  return true;
}

bool HasShadowCopyHeader(VolumeReader& volume) {
  std::uint8_t id[16];
  return volume.ReadAll(kVolumeHeader, id, sizeof id) &&
         std::memcmp(id, kVssIdentifier, sizeof id) == 0;
}

std::uint32_t ShadowCopyHeaderVersion(VolumeReader& volume) {
  std::uint8_t header[0x14];
  if (!volume.ReadAll(kVolumeHeader, header, sizeof header) ||
      std::memcmp(header, kVssIdentifier, 16) != 0)
    return 0;
  return LoadLe32(header + 0x10);
}

std::vector<ShadowCatalogStore> ReadShadowCatalog(VolumeReader& volume, bool* whole_catalog) {
  if (whole_catalog != nullptr) *whole_catalog = true;
  std::uint8_t header[kEntry];
  if (!volume.ReadAll(kVolumeHeader, header, sizeof header) ||
      std::memcmp(header, kVssIdentifier, 16) != 0)
    return {};
  std::vector<ShadowCatalogStore> stores;
  std::map<std::array<std::uint8_t, 16>, std::size_t> by_id;
  auto store = [&](const std::uint8_t* guid) -> ShadowCatalogStore& {
    std::array<std::uint8_t, 16> id;
    std::copy(guid, guid + 16, id.begin());
    const auto [it, added] = by_id.try_emplace(id, stores.size());
    if (added) stores.emplace_back().id = id;
    return stores[it->second];
  };
  // 64 blocks hold 4,000 stores: more than Windows keeps (512).
  const bool whole =
      ReadShadowChain(volume, LoadLe64(header + 0x30), kCatalogRecord, 64,
                      [&](std::uint64_t at, const std::uint8_t* block) {
                        for (std::size_t e = kEntry; e + kEntry <= kShadowBlock; e += kEntry) {
                          const std::uint8_t* entry = block + e;
                          if (LoadLe64(entry) == 2) {
                            ShadowCatalogStore& s = store(entry + 0x10);
                            s.volume_size = LoadLe64(entry + 8);
                            s.created = LoadLe64(entry + 0x30);
                            s.created_at = at + e + 0x30;
                          } else if (LoadLe64(entry) == 3) {
                            ShadowCatalogStore& s = store(entry + 0x10);
                            s.block_list = LoadLe64(entry + 8);
                            s.bitmap = LoadLe64(entry + 0x30);
                            s.previous_bitmap = LoadLe64(entry + 0x48);
                          }
                        }
                      });
  if (whole_catalog != nullptr) *whole_catalog = whole;
  return whole ? stores : std::vector<ShadowCatalogStore>{};
}

std::optional<std::vector<std::uint64_t>> ReadShadowBlockList(VolumeReader& volume,
                                                              std::uint64_t offset) {
  constexpr std::uint64_t kPerBlock = (kShadowBlock - kShadowBlockHeader) / kShadowDescriptor;
  const std::uint64_t most = volume.Size() / kShadowBlock / kPerBlock + 2;
  std::vector<std::uint64_t> blocks;
  auto add = [&blocks](std::uint64_t, const std::uint8_t* block) {
    for (std::size_t d = kShadowBlockHeader; d < kShadowBlock; d += kShadowDescriptor) {
      // A descriptor off the 16 KiB steps spans two; none past 2^62 names
      // a block that a read reaches.
      const std::uint64_t kept = LoadLe64(block + d);
      if (kept >= std::uint64_t{1} << 62) continue;
      blocks.push_back(kept / kShadowBlock);
      if (kept % kShadowBlock != 0) blocks.push_back(kept / kShadowBlock + 1);
    }
  };
  const bool whole =
      offset != 0 && ReadShadowChain(volume, offset, kShadowBlockListRecord, most, add);
  if (!whole) return std::nullopt;
  std::sort(blocks.begin(), blocks.end());
  blocks.erase(std::unique(blocks.begin(), blocks.end()), blocks.end());
  for (std::uint64_t& b : blocks) b *= kShadowBlock;
  return blocks;
}

ShadowBlockOwners::ShadowBlockOwners(
    const std::vector<std::optional<std::vector<std::uint64_t>>>& lists)
    : known_from_(lists.size()), stores_(lists.size()) {
  while (known_from_ > 0 && lists[known_from_ - 1]) --known_from_;
  for (std::size_t i = known_from_; i < lists.size(); ++i)
    for (std::uint64_t block : *lists[i])
      newest_.emplace_back(block, static_cast<std::uint32_t>(i));
  // Each block once, with the newest store that names it.
  std::sort(newest_.begin(), newest_.end());
  std::vector<std::pair<std::uint64_t, std::uint32_t>> once;
  for (const auto& entry : newest_) {
    if (!once.empty() && once.back().first == entry.first)
      once.back().second = entry.second;
    else
      once.push_back(entry);
  }
  newest_ = std::move(once);
}

bool ShadowBlockOwners::FromVolume(std::size_t store, std::uint64_t offset) const {
  if (store < known_from_ || store + 1 >= stores_) return false;
  const std::uint64_t block = offset - offset % kShadowBlock;
  auto it = std::lower_bound(newest_.begin(), newest_.end(), std::pair(block, std::uint32_t{0}));
  return it == newest_.end() || it->first != block || it->second < store;
}

}  // namespace qst
