// The data of any attribute as a stream of its own bytes: resident or not,
// in pieces across the extension records its file's attribute list names,
// sparse or not.
#include <algorithm>
#include <memory>
#include <vector>

#include "probe/ntfs/attribute.h"
#include "probe/ntfs/ntfs-volume.h"
#include "probe/ntfs/run-list.h"

namespace qst {
namespace {

// The bytes an attribute's runs place on the volume, from the stream's
// first; its sparse runs, and what lies past the runs, are holes.
class RunsReader : public VolumeReader {
 public:
  RunsReader(VolumeReader& volume, Runs runs, std::uint64_t size)
      : volume_(volume), runs_(std::move(runs)), size_(size) {
    // Where each run ends in the stream (the runs cover at most 2^62
    // bytes): a place is found by a search, not a walk of every run before.
    std::uint64_t end = 0;
    for (const auto& run : runs_) ends_.push_back(end += run.second);
  }

  ReadStatus Read(std::uint64_t offset, void* buffer, std::size_t size) override {
    if (!Inside(offset, size, size_)) return ReadStatus::kPastEnd;
    return ReadThroughRuns(volume_, runs_, offset, static_cast<std::uint8_t*>(buffer), size);
  }
  std::uint64_t Size() const override { return size_; }
  bool ConcurrentReads() const override { return volume_.ConcurrentReads(); }

  std::uint64_t DataFrom(std::uint64_t offset) const override {
    for (std::size_t i = RunAt(offset); i < runs_.size(); ++i) {
      const std::uint64_t pos = Start(i);
      if (pos >= size_) break;
      if (runs_[i].first != kSparse) return std::min(std::max(offset, pos), size_);
    }
    return size_;
  }
  std::uint64_t HoleFrom(std::uint64_t offset) const override {
    std::size_t i = RunAt(offset);
    if (i == runs_.size()) return std::min(offset, size_);
    for (; i < runs_.size() && Start(i) < size_; ++i)
      if (runs_[i].first == kSparse) return std::min(std::max(offset, Start(i)), size_);
    return std::min(Start(i), size_);
  }

 private:
  // The first run that ends past `offset`; runs_.size() for none.
  std::size_t RunAt(std::uint64_t offset) const {
    return static_cast<std::size_t>(std::upper_bound(ends_.begin(), ends_.end(), offset) -
                                    ends_.begin());
  }
  std::uint64_t Start(std::size_t i) const { return i == 0 ? 0 : ends_[i - 1]; }

  VolumeReader& volume_;
  const Runs runs_;
  const std::uint64_t size_;
  std::vector<std::uint64_t> ends_;
};

// A resident value, held.
class HeldReader : public VolumeReader {
 public:
  explicit HeldReader(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
  ReadStatus Read(std::uint64_t offset, void* buffer, std::size_t size) override {
    if (!Inside(offset, size, bytes_.size())) return ReadStatus::kPastEnd;
    std::copy_n(bytes_.data() + offset, size, static_cast<std::uint8_t*>(buffer));
    return ReadStatus::kOk;
  }
  std::uint64_t Size() const override { return bytes_.size(); }
  bool ConcurrentReads() const override { return true; }

 private:
  const std::vector<std::uint8_t> bytes_;
};

}  // namespace

bool NtfsVolume::OpenStream(std::uint64_t record, std::uint32_t type, std::u16string_view name,
                            std::unique_ptr<VolumeReader>* stream, StreamLoss* loss) const {
  *loss = {};
  // The pieces by starting cluster: in the file's record and in the
  // extension records its list names (a long stream is fragmented).
  std::vector<std::uint64_t> holders = {record};
  for (auto it = named_extensions_.lower_bound({record, 0});
       it != named_extensions_.end() && it->first == record; ++it)
    holders.push_back(it->second);
  RunPieces pieces;
  std::uint64_t size = 0;
  bool found = false, sized = false;
  std::vector<std::uint8_t> raw, held;
  for (std::uint64_t holder : holders) {
    if (!mft_.ReadRecord(holder, &raw)) continue;
    AttributeWalker walker(raw.data(), mft_.record_size());
    NtfsAttribute a;
    while (walker.Next(&a)) {
      if (a.type != type || a.name != name) continue;
      found = true;
      if (a.resident) {
        loss->resident = true;
        held.insert(held.end(), a.value, a.value + a.value_length);
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
        loss->undecoded = true;
    }
  }
  if (!found) return false;
  const std::uint64_t cluster = mft_.geometry().cluster_size;
  if (loss->resident || cluster == 0) {
    // A bare MFT has no clusters: only what its records hold is there.
    loss->no_clusters = cluster == 0 && !pieces.empty();
    *stream = std::make_unique<HeldReader>(std::move(held));
    return true;
  }
  // Pieces that leave a gap (one lost) leave it a hole; where the first
  // piece, which tells the stream's size, is the one lost, the rest is
  // read to its end.
  JoinedRuns joined = JoinRunPieces(std::move(pieces), cluster);
  loss->gap = joined.gap;
  loss->overlap = joined.overlap;
  loss->unsized = !sized;
  if (!sized)
    for (const auto& run : joined.runs) size = run.second > ~size ? ~0ull : size + run.second;
  // No byte of the volume is read twice, however the runs overlap.
  bool overlapped = false;
  Runs runs = DistinctClusters(joined.runs, &overlapped);
  if (overlapped) loss->overlap = true;
  *stream = std::make_unique<RunsReader>(reader_, std::move(runs), size);
  return true;
}

}  // namespace qst
