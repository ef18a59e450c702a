#include "probe/witnesses/logfile/logfile-part.h"

#include "probe/ntfs/attribute.h"
#include "probe/witnesses/logfile/logfile-files.h"
#include "util/text.h"

namespace qst {
namespace {

// The transaction log: the volume's own $LogFile, or one collected apart,
// read whole into an index by MFT record.
class LogPart : public WitnessPart {
 public:
  LogPart(std::unique_ptr<LogFileIndex> index, LogFileScan scan, std::string name)
      : index_(std::move(index)), scan_(scan), name_(std::move(name)) {}

  void Join(const FileJoin& file, RawFileInfo* info, JoinScratch*) const override {
    if (index_ == nullptr || !scan_.usable) return;
    const FILE_BASIC_INFO& b = info->basic;
    const NtfsTimes now{
        static_cast<std::uint64_t>(b.CreationTime), static_cast<std::uint64_t>(b.LastWriteTime),
        static_cast<std::uint64_t>(b.ChangeTime), static_cast<std::uint64_t>(b.LastAccessTime)};
    index_->Join(file.record, file.sequence, info->deleted, now, &info->facts, &info->events);
  }

  std::string LossReport() const override {
    return DescribeLogRead(name_, index_ != nullptr, scan_);
  }

 private:
  std::unique_ptr<LogFileIndex> index_;  // null: no log
  LogFileScan scan_;
  std::string name_;
};

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
  if (ListLogFile(
          &source.volume, file.get(),
          [&](const LogRecord& r, std::uint64_t target) { index->Add(r, target); }, &scan))
    index->Seal();
  else
    index.reset();
  *part = std::make_unique<LogPart>(std::move(index), scan, file != nullptr ? log : selection.path);
  return true;
}

namespace {

// The log listed record by record, each with the MFT record it changes.
class LogLister : public WitnessLister {
 public:
  LogLister(NtfsVolume* volume, std::unique_ptr<VolumeReader> file, std::string name)
      : volume_(volume), file_(std::move(file)), name_(std::move(name)) {}

  bool List(const Evidence::ListingVisitor& visit) override {
    read_ = true;
    found_ = ListLogFile(
        volume_, file_.get(),
        [&](const LogRecord& r, std::uint64_t target) {
          visit({Witness::kLog, &r, {}, target});
        },
        &scan_);
    return found_;
  }
  std::string LossReport() const override {
    return read_ ? DescribeLogRead(name_, found_, scan_) : std::string();
  }

 private:
  NtfsVolume* volume_;                  // null: a log listed without an image
  std::unique_ptr<VolumeReader> file_;  // collected apart; null: the volume's own
  std::string name_;                    // what its damage is told of
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
                                        log.empty() ? source.selection.path : log);
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
