// The streams of the volume's witnesses that lie in its files: the change
// journal's $J (in pieces across extension records) and the $LogFile.
#include <functional>

#include "probe/ntfs/attribute.h"
#include "probe/ntfs/ntfs-volume.h"
#include "probe/ntfs/run-list.h"

namespace qst {

bool NtfsVolume::ReadUsnJournal(UsnJournalIndex* index) {
  return ForEachUsnRecord([&](const UsnRecord& r) { index->Add(r); }, &index->damaged,
                          &index->unreadable);
}

bool NtfsVolume::ForEachUsnRecord(const std::function<void(const UsnRecord&)>& visit,
                                  std::uint64_t* damaged, bool* unreadable) {
  std::uint64_t journal = Lookup(kExtendRecord, u"$UsnJrnl");
  if (journal == kNone || !InUse(journal)) return false;
  // $J in pieces by starting cluster: in the file's record and in the
  // extension records its list names (a long journal is fragmented).
  std::vector<std::uint64_t> holders = {journal};
  for (auto it = named_extensions_.lower_bound({journal, 0});
       it != named_extensions_.end() && it->first == journal; ++it)
    holders.push_back(it->second);
  RunPieces pieces;
  std::uint64_t size = 0;
  bool found = false, sized = false;
  std::vector<std::uint8_t> raw;
  for (std::uint64_t holder : holders) {
    if (!mft_.ReadRecord(holder, &raw)) continue;
    AttributeWalker walker(raw.data(), mft_.record_size());
    NtfsAttribute a;
    while (walker.Next(&a)) {
      if (a.type != kAttrData || a.name != u"$J") continue;
      found = true;
      if (a.resident) {
        *damaged += qst::ForEachUsnRecord(a.value, a.value_length, visit);
        continue;
      }
      if (a.start_vcn == 0) {
        size = a.data_size;
        sized = true;
      }
      Runs runs;
      if (DecodeRuns(a.runs, a.runs_length, mft_.geometry(), &runs))
        pieces.emplace_back(a.start_vcn, std::move(runs));
      else
        *unreadable = true;
    }
  }
  if (!found) return false;
  const std::uint64_t cluster = mft_.geometry().cluster_size;
  if (cluster == 0) return true;  // a bare MFT: no clusters to read
  // Pieces that leave a gap (one lost) leave it unread, and say so; where
  // the first piece, which tells the stream's size, is the one lost, the
  // rest is read to its end.
  JoinedRuns joined = JoinRunPieces(std::move(pieces), cluster);
  if (joined.overlap || joined.gap || !sized) *unreadable = true;
  if (!sized)
    for (const auto& run : joined.runs) size = run.second > ~size ? ~0ull : size + run.second;
  bool read = true;
  *damaged += qst::ReadUsnJournal(reader_, joined.runs, size, visit, &read);
  if (!read) *unreadable = true;
  return true;
}

bool NtfsVolume::ReadLogFile(const std::function<void(const LogRecord&)>& visit,
                             LogFileScan* scan) {
  constexpr std::uint64_t kLogFileRecord = 2;
  std::vector<std::uint8_t> raw;
  const std::uint64_t cluster = mft_.geometry().cluster_size;
  if (cluster == 0 || !mft_.ReadRecord(kLogFileRecord, &raw)) return false;
  AttributeWalker walker(raw.data(), mft_.record_size());
  NtfsAttribute a;
  while (walker.Next(&a)) {
    if (a.type != kAttrData || !a.name.empty() || a.resident || a.start_vcn != 0) continue;
    Runs runs;
    if (!DecodeRuns(a.runs, a.runs_length, mft_.geometry(), &runs)) return false;
    *scan = qst::ReadLogFile(
        a.data_size,
        [&](std::uint64_t offset, std::uint8_t* out, std::size_t size) {
          return ReadThroughRuns(reader_, runs, offset, out, size) == ReadStatus::kOk;
        },
        visit);
    return true;
  }
  return false;
}

}  // namespace qst
