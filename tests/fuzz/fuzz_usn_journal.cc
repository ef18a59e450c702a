// The USN journal reader and its runs: the input is a control byte, a run
// list and a volume. The volume's bytes are read as a $J stream whole; then
// through the runs the list gives (any cluster size from 512 bytes, sparse
// starts, overlapping and mid-page runs), cut in two pieces at a cluster the
// control byte names and joined again, as a fragmented $J is. Every record
// found is joined to the index and its reasons named.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "probe/memory-reader.h"
#include "probe/ntfs/run-list.h"
#include "probe/witnesses/usn/usn-journal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t control = data[0];
  const std::size_t list_size = data[1] % 64;
  if (size < 2 + list_size) return 0;
  const std::uint8_t* list = data + 2;
  const std::uint8_t* bytes = list + list_size;
  const std::size_t volume_size = size - 2 - list_size;

  qst::UsnJournalIndex index(true);
  auto add = [&](const qst::UsnRecord& r) {
    index.Add(r);
    (void)qst::UsnReasonNames(r.reason);
  };
  qst::ForEachUsnRecord(bytes, volume_size, add);
  qst::MemoryVolumeReader reader(
      std::string_view(reinterpret_cast<const char*>(bytes), volume_size));
  bool read = false;
  qst::ReadUsnJournal(reader, {{qst::kSparse, 1ull << 40}, {0, volume_size}},
                      (1ull << 40) + volume_size, add, &read);

  const std::uint64_t cluster = 512ull << (control & 3);
  qst::Runs runs;
  if (qst::DecodeRuns(list, static_cast<std::uint32_t>(list_size), {cluster, volume_size / cluster},
                      &runs)) {
    // Two pieces, the second first, as extension records may list them.
    qst::RunPieces pieces(2);
    std::uint64_t vcn = 0;
    for (const auto& run : runs) {
      const bool second = vcn >= (control >> 2);
      if (second && pieces[1].second.empty()) pieces[1].first = vcn;
      pieces[second ? 1 : 0].second.push_back(run);
      vcn += run.second / cluster;
    }
    if (pieces[1].second.empty()) pieces.pop_back();
    std::swap(pieces.front(), pieces.back());
    const qst::JoinedRuns joined = qst::JoinRunPieces(pieces, cluster);
    bool overlapped = false;
    const qst::Runs distinct = qst::DistinctClusters(joined.runs, &overlapped);
    std::uint64_t length = 0;
    for (const auto& run : distinct) length += run.second;
    qst::ReadUsnJournal(reader, distinct, length, add, &read);
  }
  qst::FILETIME first = 0, last = 0;
  index.Coverage(&first, &last);
  (void)index.Find(30, 1);
  return 0;
}
