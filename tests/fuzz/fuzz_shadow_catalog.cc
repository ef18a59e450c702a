// The shadow copies' catalog and block lists: the input is the start of a
// volume. Every store's list is read and the blocks' owners found; a list
// names only blocks of 16 KiB, each once. Then the stores are read whole by
// our own reader of stores, their data on the same volume; and opened as a
// run opens them, their data also looked for on the input's second half
// and on the input again, as storage volumes of their own.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "probe/memory-reader.h"
#include "probe/witnesses/snapshots/shadow-catalog.h"
#include "probe/witnesses/snapshots/shadow-storage.h"
#include "probe/witnesses/snapshots/shadow-store.h"
#include "probe/witnesses/snapshots/shadow-stores.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qst::MemoryVolumeReader volume(std::string_view(reinterpret_cast<const char*>(data), size));
  const std::vector<qst::ShadowCatalogStore> catalog = qst::ReadShadowCatalog(volume);
  std::vector<std::optional<std::vector<std::uint64_t>>> lists;
  for (const qst::ShadowCatalogStore& store : catalog) {
    lists.push_back(store.block_list ? qst::ReadShadowBlockList(volume, *store.block_list)
                                     : std::nullopt);
    if (!lists.back()) continue;
    for (std::size_t i = 0; i < lists.back()->size(); ++i) {
      const std::uint64_t block = (*lists.back())[i];
      if (block % qst::kShadowBlock != 0 || (i > 0 && block <= (*lists.back())[i - 1]))
        std::abort();
    }
  }
  const qst::ShadowBlockOwners owners(lists);
  for (std::size_t store = 0; store < lists.size(); ++store)
    for (std::uint64_t offset = 0; offset < size; offset += qst::kShadowBlock)
      owners.FromVolume(store, offset);

  auto chain = std::make_shared<qst::ShadowChain>(volume);
  for (std::size_t i = 0; i < catalog.size(); ++i) {
    qst::ShadowStoreMap map;
    std::string why;
    if (map.Read(volume, catalog[i], size, i + 1 == catalog.size(), &why))
      chain->Add(volume, size, std::move(map));
    else if (why.empty())
      std::abort();
  }
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < chain->size(); ++i)
    qst::ShadowChain::Reader(chain, i)->Read(0, bytes.data(), bytes.size());

  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::shared_ptr<qst::VolumeReader>> storage = {
      std::make_shared<qst::MemoryVolumeReader>(input.substr(size / 2)),
      std::make_shared<qst::MemoryVolumeReader>(input)};
  qst::ShadowStores stores;
  std::string message;
  if (qst::OpenShadowStoresWith(volume, storage, "storage", &stores, &message)) {
    if (stores.stores.size() > qst::kMaxShadowStores) std::abort();
    for (qst::ShadowStore& store : stores.stores)
      store.reader->Read(0, bytes.data(),
                         std::min<std::uint64_t>(bytes.size(), store.reader->Size()));
  } else if (message.empty()) {
    std::abort();
  }
  return 0;
}
