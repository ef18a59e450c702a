// The carver of $I30 entries left in slack: the input is slack, carved as
// it stands and as an index block (fixed up, its live entries read, the
// rest carved); every entry found is joined back to the folder's index.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "probe/ntfs/mft-record.h"
#include "probe/witnesses/index-entries/index-entries.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::uint64_t kFolder = 5;
  std::vector<qst::FolderEntry> carved;
  qst::CarveFolderEntries(data, size, kFolder, &carved);
  qst::FolderIndex index;
  std::vector<std::uint8_t> block(data, data + size);
  const auto block_size = static_cast<std::uint32_t>(size);
  if (qst::FixUpBlock(block.data(), block_size)) {
    // A node read in part still gives the entries before the break.
    (void)qst::ForEachFixedBlockEntry(block.data(), block_size,
                                      [&](const std::uint8_t* e, std::uint16_t length) {
                                        qst::FileNameEntry entry;
                                        if (qst::DecodeFileNameEntry(e, length, &entry))
                                          index.AddLive(entry);
                                      });
    std::span<const std::uint8_t> slack = qst::BlockSlack(block.data(), block_size);
    qst::CarveFolderEntries(slack.data(), slack.size(), kFolder, &carved);
  }
  index.Seal();
  index.AddSlack(carved);
  for (std::size_t i = 0; i < index.live_count(); ++i) {
    const qst::FolderEntry e = index.Live(i);
    qst::Facts facts;
    index.Join(qst::RecordNumber(e.reference), qst::SequenceNumber(e.reference), e.name, &facts);
    if (!facts.Has(qst::Fact::kIndexCreation)) __builtin_trap();
  }
  return 0;
}
