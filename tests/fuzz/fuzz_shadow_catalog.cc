// The shadow copies' catalog and block lists: the input is the start of a
// volume. Every store's list is read and the blocks' owners found; a list
// names only blocks of 16 KiB, each once.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "probe/memory-reader.h"
#include "probe/ntfs/shadow-catalog.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qst::MemoryVolumeReader volume(std::string_view(reinterpret_cast<const char*>(data), size));
  std::vector<std::optional<std::vector<std::uint64_t>>> lists;
  for (const qst::ShadowCatalogStore& store : qst::ReadShadowCatalog(volume)) {
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
  return 0;
}
