#include "probe/witnesses/snapshots/shadow-storage.h"

#include <algorithm>
#include <optional>
#include <set>
#include <string>

#include "probe/witnesses/snapshots/shadow-catalog.h"
#include "probe/witnesses/snapshots/shadow-store.h"

namespace qst {
namespace {

// The entry of `catalog` that says where the data of store `id` lies.
const ShadowCatalogStore* DataEntry(const std::vector<ShadowCatalogStore>& catalog,
                                    const std::array<std::uint8_t, 16>& id) {
  for (const ShadowCatalogStore& s : catalog)
    if (s.id == id && s.block_list) return &s;
  return nullptr;
}

// The volume among `storage` whose catalog says where the data of the most
// of `made` lies that the copied volume does not hold itself; none where no
// catalog holds any.
struct Storage {
  std::shared_ptr<VolumeReader> volume;
  std::vector<ShadowCatalogStore> catalog;
};
Storage ChooseStorage(const std::vector<const ShadowCatalogStore*>& made,
                      const std::vector<std::shared_ptr<VolumeReader>>& storage) {
  Storage chosen;
  std::size_t most = 0;
  // The stores whose data lies elsewhere, looked up by ID in one pass of
  // each catalog.
  std::set<std::array<std::uint8_t, 16>> wanted;
  for (const ShadowCatalogStore* s : made)
    if (!s->block_list) wanted.insert(s->id);
  // A catalog takes at most 64 blocks: the volumes that hold one read no
  // more catalogs than the image holds room for, however many partitions
  // a crafted table names over the same bytes.
  std::uint64_t room = 0;
  for (const std::shared_ptr<VolumeReader>& volume : storage) room = std::max(room, volume->Size());
  std::uint64_t catalogs = room / (64 * kShadowBlock) + 1;
  for (const std::shared_ptr<VolumeReader>& volume : storage) {
    if (most == wanted.size() || catalogs == 0) break;
    if (!HasShadowCopyHeader(*volume)) continue;
    --catalogs;
    std::vector<ShadowCatalogStore> catalog = ReadShadowCatalog(*volume);
    // A catalog holds each store once.
    const std::size_t held = static_cast<std::size_t>(std::count_if(
        catalog.begin(), catalog.end(),
        [&](const ShadowCatalogStore& s) { return s.block_list && wanted.count(s.id) != 0; }));
    if (held > most) {
      most = held;
      chosen = {volume, std::move(catalog)};
    }
  }
  return chosen;
}

// Windows writes versions 1 and 2 of the shadow copies' header: another is
// no layout this reader knows.
bool KnownHeader(VolumeReader& volume, std::string* message) {
  const std::uint32_t version = ShadowCopyHeaderVersion(volume);
  if (version == 0 || version == 1 || version == 2) return true;
  *message = "its shadow copies cannot be read (their header is of version " +
             std::to_string(version) + ", which this reader does not know)";
  return false;
}

// The stores, numbered from the oldest as Windows numbers them.
std::vector<const ShadowCatalogStore*> StoresMade(const std::vector<ShadowCatalogStore>& catalog) {
  std::vector<const ShadowCatalogStore*> made;
  for (const ShadowCatalogStore& s : catalog)
    if (s.created) made.push_back(&s);
  std::stable_sort(made.begin(), made.end(),
                   [](const auto* a, const auto* b) { return *a->created < *b->created; });
  return made;
}

}  // namespace

bool OpenShadowStoresWith(VolumeReader& volume,
                          const std::vector<std::shared_ptr<VolumeReader>>& storage,
                          const std::string& storage_name, ShadowStores* stores,
                          std::string* message) {
  if (!KnownHeader(volume, message)) return false;
  // A volume without the shadow copies' header gives a whole, empty catalog.
  bool whole = true;
  const std::vector<ShadowCatalogStore> catalog = ReadShadowCatalog(volume, &whole);
  if (!whole) {
    *message = "its shadow copies cannot be read (its catalog cannot be read whole)";
    return false;
  }
  const std::vector<const ShadowCatalogStore*> made = StoresMade(catalog);
  // Windows keeps at most kMaxShadowStores, dropping the oldest: a catalog
  // naming more is read for the newest that many, keeping their numbers.
  const std::size_t oldest = made.size() > kMaxShadowStores ? made.size() - kMaxShadowStores : 0;
  stores->beyond = oldest;
  const Storage elsewhere = ChooseStorage(made, storage);
  // From the newest: each older store reads through the newer ones, so a
  // store that cannot be read leaves those before it unread too.
  std::vector<std::optional<ShadowStoreMap>> maps(made.size());
  std::vector<VolumeReader*> holders(made.size(), &volume);
  std::size_t first = made.size();
  for (std::size_t i = made.size(); i-- > oldest;) {
    const ShadowCatalogStore& store = *made[i];
    const ShadowCatalogStore* where = store.block_list ? &store : nullptr;
    if (where == nullptr && elsewhere.volume != nullptr) {
      where = DataEntry(elsewhere.catalog, store.id);
      holders[i] = elsewhere.volume.get();
    }
    std::string why;
    ShadowStoreMap map;
    if (where != nullptr && where->block_list == std::uint64_t{0})
      why = "its catalog entry names no block list";
    else if (where == nullptr && storage.empty())
      why = "its data is not on this volume";
    else if (where == nullptr)
      why = "its data is neither on this volume nor on " + storage_name;
    else if (store.volume_size == 0)
      why = "it tells no volume size";
    else if (first != i + 1)
      why = "it reads through shadow copy " + std::to_string(first) + ", which cannot be read";
    else
      map.Read(*holders[i], *where, store.volume_size, i + 1 == made.size(), &why);
    if (why.empty()) {
      maps[i] = std::move(map);
      first = i;
    } else {
      stores->unreadable.push_back({static_cast<int>(i + 1), true, *store.created, why});
    }
  }
  auto chain = std::make_shared<ShadowChain>(volume);
  if (elsewhere.volume != nullptr) chain->Keep(elsewhere.volume);
  for (std::size_t i = first; i < made.size(); ++i)
    chain->Add(*holders[i], made[i]->volume_size, std::move(*maps[i]));
  for (std::size_t i = first; i < made.size(); ++i)
    stores->stores.push_back(
        {static_cast<int>(i + 1), *made[i]->created, ShadowChain::Reader(chain, i - first)});
  return true;
}

bool OpenShadowStores(VolumeReader& volume, ShadowStores* stores, std::string* message) {
  return OpenShadowStoresWith(volume, {}, "", stores, message);
}

}  // namespace qst
