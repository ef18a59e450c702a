#include "probe/witnesses/logfile/logfile-part.h"

#include <algorithm>
#include <unordered_set>
#include <vector>

#include "probe/ntfs/attribute.h"
#include "probe/witnesses/logfile/logfile-files.h"
#include "util/text.h"

namespace qst {
namespace {

// The transaction log: the volume's own $LogFile, or one collected apart,
// read whole into an index by MFT record.
class LogPart : public WitnessPart {
 public:
  LogPart(std::unique_ptr<LogFileIndex> index, LogFileScan scan, std::string name,
          std::string merged)
      : index_(std::move(index)), scan_(scan), name_(std::move(name)), merged_(std::move(merged)) {}

  void Join(const FileJoin& file, RawFileInfo* info, JoinScratch*) const override {
    if (index_ == nullptr || !scan_.usable) return;
    const FILE_BASIC_INFO& b = info->basic;
    const NtfsTimes now{
        static_cast<std::uint64_t>(b.CreationTime), static_cast<std::uint64_t>(b.LastWriteTime),
        static_cast<std::uint64_t>(b.ChangeTime), static_cast<std::uint64_t>(b.LastAccessTime)};
    index_->Join(file.record, file.sequence, info->deleted, now, &info->facts, &info->events);
  }

  std::string LossReport() const override {
    return DescribeLogRead(name_, index_ != nullptr, scan_) + merged_;
  }

 private:
  std::unique_ptr<LogFileIndex> index_;  // null: no log
  LogFileScan scan_;
  std::string name_;
  std::string merged_;  // the lines that tell what the copies' logs added
};

// The LSNs a log's records span.
struct LsnSpan {
  std::uint64_t first = ~std::uint64_t{0}, last = 0;
  void Add(std::uint64_t lsn) {
    first = std::min(first, lsn);
    last = std::max(last, lsn);
  }
  bool empty() const { return first > last; }
};

// Visits, copy by copy (oldest first), each record of the shadow copies'
// logs whose LSN `seen` lacks (the volume's own, an older copy's), with the
// copy's place and the MFT record it changes, and adds its LSN to `seen`;
// the LSNs each copy's log spans.
std::vector<LsnSpan> ForEachStoreOnlyRecord(
    std::span<const StoreVolume> stores, std::unordered_set<std::uint64_t>* seen,
    const std::function<void(std::size_t, const LogRecord&, std::uint64_t)>& visit) {
  std::vector<LsnSpan> spans(stores.size());
  for (std::size_t s = 0; s < stores.size(); ++s) {
    LogFileScan scan;
    (void)ListLogFile(
        stores[s].volume, nullptr,
        [&](const LogRecord& r, std::uint64_t target) {
          spans[s].Add(r.lsn);
          if (seen->insert(r.lsn).second) visit(s, r, target);
        },
        &scan);
  }
  return spans;
}

// Adds to `index` the records of each shadow copy's $LogFile that the
// volume's own (`live`, whose LSNs are `seen`) does not hold, a record of
// several copies once; the lines that say what each copy added. Sets the
// LSN from which on the logs read hold every record.
std::string MergeStoreLogs(std::span<const StoreVolume> stores, const LsnSpan& live,
                           std::unordered_set<std::uint64_t>* seen, LogFileIndex* index,
                           const std::string& name) {
  std::vector<std::uint64_t> added(stores.size());
  const std::vector<LsnSpan> spans = ForEachStoreOnlyRecord(
      stores, seen, [&](std::size_t s, const LogRecord& r, std::uint64_t target) {
        index->Add(r, target);
        ++added[s];
      });
  std::string lines;
  for (std::size_t s = 0; s < stores.size(); ++s)
    if (added[s] != 0)
      lines += Format(
          "qst: %s: $LogFile of shadow copy %d: %llu records the volume's own no "
          "longer holds\n",
          name.c_str(), stores[s].number, static_cast<unsigned long long>(added[s]));
  // Back from the volume's own log, each copy's that reaches it.
  std::uint64_t whole = live.first;
  for (bool grew = !live.empty(); grew;) {
    grew = false;
    for (const LsnSpan& s : spans)
      if (!s.empty() && s.first < whole && s.last >= whole) whole = s.first, grew = true;
  }
  index->SetWholeFrom(live.empty() ? 0 : whole);
  return lines;
}

}  // namespace

bool OpenLogPart(const PartSource& source, std::unique_ptr<WitnessPart>* part,
                 std::string* message) {
  const ImageSelection& selection = source.selection;
  const std::string& log = selection.apart_of(Witness::kLog);
  std::unique_ptr<VolumeReader> file;
  if (!log.empty() && !OpenLogFile(log, source.open_file, source.host, &file, message))
    return false;
  auto index = std::make_unique<LogFileIndex>();
  LogFileScan scan;
  // The shadow copies' logs beside the volume's own, not beside one
  // collected apart (of a time the copies need not reach).
  const bool stores = file == nullptr && !source.stores.empty();
  std::unordered_set<std::uint64_t> seen;
  LsnSpan live;
  std::string merged;
  if (ListLogFile(
          &source.volume, file.get(),
          [&](const LogRecord& r, std::uint64_t target) {
            index->Add(r, target);
            if (stores) {
              seen.insert(r.lsn);
              live.Add(r.lsn);
            }
          },
          &scan)) {
    if (stores) merged = MergeStoreLogs(source.stores, live, &seen, index.get(), selection.path);
    index->Seal();
  } else {
    index.reset();
  }
  *part = std::make_unique<LogPart>(std::move(index), scan, file != nullptr ? log : selection.path,
                                    std::move(merged));
  return true;
}

namespace {

// The log listed record by record, each with the MFT record it changes;
// with -S, first the records of each shadow copy's log (oldest first) that
// neither the volume's own nor an older copy's holds, each saying where it
// was read.
class LogLister : public WitnessLister {
 public:
  LogLister(NtfsVolume* volume, std::unique_ptr<VolumeReader> file, std::string name,
            std::span<const StoreVolume> stores)
      : volume_(volume),
        file_(std::move(file)),
        name_(std::move(name)),
        stores_(file_ == nullptr ? stores.begin() : stores.end(), stores.end()) {}

  bool List(const Evidence::ListingVisitor& visit) override {
    read_ = true;
    bool listed = false;
    if (!stores_.empty()) {
      // The volume's own LSNs first, to leave out what it holds.
      std::unordered_set<std::uint64_t> seen;
      LogFileScan own;
      (void)ListLogFile(
          volume_, nullptr, [&](const LogRecord& r, std::uint64_t) { seen.insert(r.lsn); }, &own);
      std::vector<std::string> states;
      for (const StoreVolume& store : stores_) states.push_back(StoreState(store));
      (void)ForEachStoreOnlyRecord(stores_, &seen,
                                   [&](std::size_t s, const LogRecord& r, std::uint64_t target) {
                                     listed = true;
                                     visit({Witness::kLog, &r, {}, target, states[s].c_str()});
                                   });
    }
    const char* state = stores_.empty() ? nullptr : "live";
    found_ = ListLogFile(
        volume_, file_.get(),
        [&](const LogRecord& r, std::uint64_t target) {
          visit({Witness::kLog, &r, {}, target, state});
        },
        &scan_);
    return found_ || listed;
  }
  std::string LossReport() const override {
    return read_ ? DescribeLogRead(name_, found_, scan_) : std::string();
  }

 private:
  NtfsVolume* volume_;                  // null: a log listed without an image
  std::unique_ptr<VolumeReader> file_;  // collected apart; null: the volume's own
  std::string name_;                    // what its damage is told of
  std::vector<StoreVolume> stores_;     // kept: the copies' volumes stay with the platform
  bool read_ = false, found_ = false;
  LogFileScan scan_;
};

}  // namespace

bool OpenLogLister(const ListerSource& source, std::unique_ptr<WitnessLister>* lister,
                   std::string* message) {
  const std::string& log = source.selection.apart_of(Witness::kLog);
  std::unique_ptr<VolumeReader> file;
  if (!log.empty() && !OpenLogFile(log, source.open_file, source.host, &file, message))
    return false;
  *lister = std::make_unique<LogLister>(source.volume, std::move(file),
                                        log.empty() ? source.selection.path : log, source.stores);
  return true;
}

bool ReadVolumeLog(const NtfsVolume& volume, const std::function<void(const LogRecord&)>& visit,
                   LogFileScan* scan) {
  constexpr std::uint64_t kLogFileRecord = 2;
  std::unique_ptr<VolumeReader> stream;
  NtfsVolume::StreamLoss loss;
  // Only the clusters of its unnamed $DATA hold a log.
  if (!volume.OpenStream(kLogFileRecord, kAttrData, u"", &stream, &loss) || loss.resident ||
      loss.no_clusters || loss.undecoded)
    return false;
  *scan = ReadLogFile(
      stream->Size(),
      [&](std::uint64_t offset, std::uint8_t* out, std::size_t size) {
        return stream->Read(offset, out, size) == ReadStatus::kOk;
      },
      visit);
  return true;
}

bool ListLogFile(NtfsVolume* volume, VolumeReader* file, const LogTargetVisitor& visit,
                 LogFileScan* scan) {
  LogGeometry geometry;
  bool assumed = false;
  if (volume != nullptr) {
    // A bare MFT tells no cluster size: the usual one is taken, and said
    // where the log does not state its own.
    assumed = volume->ClusterSize() == 0;
    geometry.cluster_size = assumed ? 4096 : volume->ClusterSize();
    geometry.record_size = volume->MftRecordSize();
  }
  auto with_target = [&](const LogRecord& r) {
    visit(r, geometry.known() ? LogTargetRecord(r, geometry.cluster_size, geometry.record_size)
                              : kNoLogTarget);
  };
  if (file == nullptr) return volume != nullptr && ReadVolumeLog(*volume, with_target, scan);
  const LogFileRead read = [&](std::uint64_t offset, std::uint8_t* out, std::size_t n) {
    return file->Read(offset, out, n) == ReadStatus::kOk;
  };
  // A log collected apart may come from another volume than the one read:
  // the sizes its own records state come first.
  LogGeometry stated;
  ReadLogFile(file->Size(), read, [&](const LogRecord& r) { LearnLogGeometry(r, &stated); });
  if (stated.known()) geometry = stated;
  *scan = ReadLogFile(file->Size(), read, with_target);
  scan->cluster_assumed = assumed && !stated.known() && scan->records != 0;
  return true;
}

std::string DescribeLogRead(const std::string& name, bool found, const LogFileScan& scan) {
  return found ? DescribeLogDamage(name, scan) : "qst: " + name + ": no $LogFile to read\n";
}

bool OpenLogFile(const std::string& path, FileOpener open, Platform& host,
                 std::unique_ptr<VolumeReader>* file, std::string* message) {
  if (int error = open(path, 0, file)) {
    *message = Format("qst: cannot open the $LogFile %s: %s\n", path.c_str(),
                      OneLine(host.ErrorText(error)).c_str());
    return false;
  }
  return true;
}

}  // namespace qst
