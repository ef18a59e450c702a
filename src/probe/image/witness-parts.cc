#include "probe/image/witness-parts.h"

#include <future>
#include <list>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "probe/image/raw-reader.h"
#include "probe/ntfs/index-entries.h"
#include "probe/ntfs/logfile-files.h"
#include "probe/ntfs/mft-record.h"
#include "probe/ntfs/usn-journal.h"
#include "probe/signs.h"
#include "probe/utf16.h"
#include "util/text.h"

namespace qst {
namespace {

// The change journal: the volume's own $UsnJrnl:$J, or a stream collected
// apart, read whole into an index by file reference.
class JournalPart : public WitnessPart {
 public:
  JournalPart(std::unique_ptr<UsnJournalIndex> index, std::string image_name)
      : index_(std::move(index)), image_name_(std::move(image_name)) {}

  void Join(const FileJoin& file, RawFileInfo* info, JoinScratch*) const override {
    if (index_ != nullptr) index_->Join(file.record, file.sequence, &info->facts, &info->events);
  }

  std::string LossReport() const override {
    if (index_ == nullptr) return AbsenceReport();
    return DescribeJournalDamage(image_name_, index_->damaged, index_->unreadable);
  }
  std::string AbsenceReport() const override {
    return index_ == nullptr ? NoJournalLine(image_name_) : std::string();
  }

 private:
  std::unique_ptr<UsnJournalIndex> index_;  // null: the volume has no journal
  std::string image_name_;
};

bool OpenJournalPart(const PartSource& source, std::unique_ptr<WitnessPart>* part,
                     std::string* message) {
  const ImageSelection& selection = source.selection;
  auto index = std::make_unique<UsnJournalIndex>(selection.events);
  if (const std::string& journal = selection.apart_of(Witness::kUsn); !journal.empty()) {
    std::unique_ptr<VolumeReader> file;
    if (!OpenJournalStream(journal, source.host, &file, message)) return false;
    bool read = true;
    index->damaged = ReadUsnStream(
        *file, [&](const UsnRecord& r) { index->Add(r); }, &read);
    index->unreadable = !read;
  } else if (!source.volume.ReadUsnJournal(index.get())) {
    index.reset();
  }
  *part = std::make_unique<JournalPart>(std::move(index), selection.path);
  return true;
}

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

bool OpenLogPart(const PartSource& source, std::unique_ptr<WitnessPart>* part,
                 std::string* message) {
  const ImageSelection& selection = source.selection;
  const std::string& log = selection.apart_of(Witness::kLog);
  std::unique_ptr<VolumeReader> file;
  if (!log.empty() && !OpenLogFile(log, source.host, &file, message)) return false;
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

// Each name's entry in its folder's $I30 index. A folder's index is read
// whole once, as a walk lists the folder (or as one of its names is first
// joined), and kept while the walk may come back to it: the last folders
// read, and those on the path to the folder read last (a walk joins the
// rest of a folder's names after each of its sub-folders' trees).
class IndexPart : public WitnessPart {
 public:
  // With `slack`, each folder's entries left in slack are read too, and
  // listed after its names.
  IndexPart(NtfsVolume& volume, std::string image_name, bool slack)
      : volume_(volume), image_name_(std::move(image_name)), slack_(slack) {}

  void Join(const FileJoin& file, RawFileInfo* info, JoinScratch* scratch) const override {
    if (file.name == NtfsVolume::kNone) return;
    const std::uint64_t folder = volume_.FolderOfName(file.name);
    // An entry is trusted only in the folder the name names, by record and
    // sequence number.
    if (folder == NtfsVolume::kNone || !volume_.IsFolder(folder) ||
        volume_.SequenceOf(folder) != volume_.FolderSequenceOfName(file.name))
      return;
    NtfsVolume::NameBuffer buffer;
    // A thread joins a folder's names one after another: the last folder
    // it joined is kept at hand.
    // The scratch holds the index alive; a pointer to it is enough here
    // (copying the shared pointer makes the threads fight over its count).
    std::shared_ptr<const FolderIndex> held;
    const FolderIndex* index = nullptr;
    if (scratch != nullptr && scratch->key == folder + 1) {
      index = static_cast<const FolderIndex*>(scratch->kept.get());
    } else {
      held = Folder(folder);
      index = held.get();
      if (scratch != nullptr) *scratch = {folder + 1, held, 0};
    }
    index->Join(file.record, file.sequence, volume_.NameText(file.name, buffer), &info->facts,
                scratch != nullptr ? &scratch->cursor : nullptr);
    if (index->Lossy() && !info->facts.Has(Fact::kIndexCreation))
      info->witnesses_lost |= FindingBit(Witness::kIndex);
  }

  void ListFolder(std::uint64_t folder, const std::function<bool(std::u16string_view)>& matches,
                  std::uint32_t tag, std::vector<DirEntry>* entries) const override {
    // The orphans' folder is made up: it has no index.
    if (folder == NtfsVolume::kOrphanFolder || !volume_.IsFolder(folder)) return;
    // Without slack to list, the threads that print the folder's names read
    // its index as they first ask for it, and the walk goes on.
    if (!slack_) return;
    const std::shared_ptr<const FolderIndex> index = Folder(folder);
    const std::vector<FolderEntry>& slack = index->slack();
    for (std::size_t i = 0; i < slack.size() && i >> kItemBits == 0; ++i) {
      if (!matches(slack[i].name)) continue;
      // Entered by no walk: no record stands behind it.
      DirEntry entry{Wtf8FromUtf16(slack[i].name), false};
      entry.hint.record = RecordNumber(slack[i].reference);
      entry.hint.folder = folder;
      entry.hint.item = tag << kItemBits | static_cast<std::uint32_t>(i);
      entries->push_back(std::move(entry));
    }
  }

  bool ProbeListed(std::uint64_t folder, std::uint32_t item, RawFileInfo* info) const override {
    if (!slack_ || folder == NtfsVolume::kOrphanFolder || !volume_.IsFolder(folder)) return false;
    const std::shared_ptr<const FolderIndex> index = Folder(folder);
    if (item >= index->slack().size()) return false;
    const FolderEntry& entry = index->slack()[item];
    const std::uint64_t record = RecordNumber(entry.reference);
    *info = RawFileInfo{};
    info->slack = true;
    info->index_lost = !entry.referenced;
    info->file_index = entry.referenced ? static_cast<std::uint32_t>(record) : 0;
    info->volume = 3;  // none of the volume's own files
    info->file_id = entry.reference;
    AddEntryFacts(entry, &info->facts);
    if (!entry.referenced) return true;
    const bool in_use = record < NtfsVolume::kNone && volume_.InUse(record);
    info->facts.Set(Fact::kIndexReused,
                    in_use && volume_.SequenceOf(record) != SequenceNumber(entry.reference));
    return true;
  }

  std::string LossReport() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string report;
    const char* name = image_name_.c_str();
    if (!counted_.empty())
      report += Format(
          "qst: %s: the $I30 index of %zu folder%s read in part; the names it lost "
          "have no index entry\n",
          name, counted_.size(), counted_.size() == 1 ? "" : "s");
    std::uint64_t undecoded = 0;
    for (const auto& [folder, count] : counted_) undecoded += count;
    if (undecoded != 0)
      report += Format("qst: %s: %llu $I30 index entr%s in use could not be decoded\n", name,
                       static_cast<unsigned long long>(undecoded), undecoded == 1 ? "y" : "ies");
    if (const std::uint64_t shared = volume_.SharedIndexBlocks(); shared != 0)
      report += Format(
          "qst: %s: %llu index block%s named by the $I30 index of more than one folder: "
          "read once, for the folder %s entries name\n",
          name, static_cast<unsigned long long>(shared), shared == 1 ? " is" : "s are",
          shared == 1 ? "its" : "their");
    return report;
  }

 private:
  // A walk joins a folder's names together; the threads that print them
  // may lag a few folders behind.
  static constexpr std::size_t kKept = 8;

  // The folder's index: read by the first thread that asks for it, while
  // the others that ask wait for it rather than read it again.
  std::shared_ptr<const FolderIndex> Folder(std::uint64_t folder) const {
    std::promise<std::shared_ptr<const FolderIndex>> reading;
    std::shared_future<std::shared_ptr<const FolderIndex>> kept;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (auto it = where_.find(folder); it != where_.end()) {
        kept_.splice(kept_.begin(), kept_, it->second);
        kept = kept_.front().index;
      } else {
        const std::uint32_t name = volume_.FirstNameOf(folder);
        const std::uint64_t parent =
            name == NtfsVolume::kNone ? NtfsVolume::kNone : volume_.FolderOfName(name);
        kept_.push_front({folder, parent, reading.get_future().share()});
        where_[folder] = kept_.begin();
        Trim(folder);
      }
    }
    // Waited for without the lock, which the reader takes.
    if (kept.valid()) return kept.get();
    auto index = std::make_shared<FolderIndex>();
    try {
      volume_.ReadFolderIndex(folder, slack_, index.get());
    } catch (...) {
      reading.set_exception(std::current_exception());  // no waiter is left waiting
      throw;
    }
    // Counted as first read: a folder read again gives the same.
    if (index->Lossy()) {
      std::lock_guard<std::mutex> lock(mutex_);
      counted_.try_emplace(folder, index->undecoded);
    }
    reading.set_value(index);
    return index;
  }

  // Leaves kept the last kKept folders asked for and those on the path to
  // `newest`, as far as they are kept; drops the rest. Under mutex_.
  void Trim(std::uint64_t newest) const {
    std::unordered_set<std::uint64_t> path;
    for (std::uint64_t f = newest; path.size() < kept_.size();) {
      const auto it = where_.find(f);
      if (it == where_.end() || !path.insert(f).second) break;
      f = it->second->parent;
    }
    std::size_t others = 0;
    for (auto it = kept_.begin(); it != kept_.end();) {
      if (path.count(it->folder) != 0 || ++others <= kKept) {
        ++it;
        continue;
      }
      where_.erase(it->folder);
      it = kept_.erase(it);
    }
  }

  NtfsVolume& volume_;
  std::string image_name_;
  bool slack_;
  mutable std::mutex mutex_;
  struct KeptIndex {
    std::uint64_t folder;
    std::uint64_t parent;  // the folder that lists it
    std::shared_future<std::shared_ptr<const FolderIndex>> index;
  };
  mutable std::list<KeptIndex> kept_;  // the one asked for last first
  mutable std::unordered_map<std::uint64_t, std::list<KeptIndex>::iterator> where_;
  // Folders whose index was read in part, with the entries that could not
  // be decoded.
  mutable std::unordered_map<std::uint64_t, std::uint64_t> counted_;
};

bool OpenIndexPart(const PartSource& source, std::unique_ptr<WitnessPart>* part, std::string*) {
  *part = std::make_unique<IndexPart>(source.volume, source.selection.path,
                                      source.selection.wants(Witness::kState));
  return true;
}

// Each witness read beside the volume, and how its part is opened.
struct PartEntry {
  Witness witness;
  bool (*open)(const PartSource& source, std::unique_ptr<WitnessPart>* part, std::string* message);
};
constexpr PartEntry kParts[] = {
    {Witness::kUsn, OpenJournalPart},
    {Witness::kIndex, OpenIndexPart},
    {Witness::kLog, OpenLogPart},
};

}  // namespace

bool OpenWitnessParts(const PartSource& source, std::vector<std::unique_ptr<WitnessPart>>* parts,
                      std::string* message) {
  for (const PartEntry& entry : kParts) {
    if (!source.selection.wants(entry.witness)) continue;
    std::unique_ptr<WitnessPart> part;
    if (!entry.open(source, &part, message)) return false;
    parts->push_back(std::move(part));
  }
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
  if (file == nullptr) return volume != nullptr && volume->ReadLogFile(with_target, scan);
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

std::string NoJournalLine(const std::string& name) {
  return "qst: " + name + ": no USN change journal ($Extend\\$UsnJrnl:$J)\n";
}

std::string DescribeLogRead(const std::string& name, bool found, const LogFileScan& scan) {
  return found ? DescribeLogDamage(name, scan) : "qst: " + name + ": no $LogFile to read\n";
}

bool OpenLogFile(const std::string& path, Platform& host, std::unique_ptr<VolumeReader>* file,
                 std::string* message) {
  if (int error = OpenRawFile(path, 0, file)) {
    *message = Format("qst: cannot open the $LogFile %s: %s\n", path.c_str(),
                      OneLine(host.ErrorText(error)).c_str());
    return false;
  }
  return true;
}

const std::string& JournalPaths::Of(const UsnRecord& r) {
  path_.clear();
  if (r.major == 4) return path_;  // no name, no parent
  if (RecordNumber(r.file) == NtfsVolume::kRootRecord) return path_ = "C:\\";
  auto [it, fresh] = folders_.try_emplace(r.parent);
  if (fresh) {
    std::u16string folder;
    if (volume_.FolderPath(RecordNumber(r.parent), SequenceNumber(r.parent), &folder))
      it->second = "C:" + Wtf8FromUtf16(folder);
  }
  if (!it->second) return path_;
  path_ = *it->second + "\\" + Wtf8FromUtf16(r.name);
  if ((r.attributes & kFileAttributeDirectory) != 0) path_ += '\\';
  return path_;
}

bool OpenJournalStream(const std::string& path, Platform& host, std::unique_ptr<VolumeReader>* file,
                       std::string* message) {
  if (int error = OpenRawFile(path, 0, file)) {
    *message = Format("qst: cannot open the USN journal %s: %s", path.c_str(),
                      host.ErrorText(error).c_str());
    if (message->empty() || message->back() != '\n') *message += '\n';
    return false;
  }
  if (!LooksLikeUsnJournal(**file)) {
    *message =
        "qst: " + path + " is not a USN journal: the first MiB of its data holds no record\n";
    return false;
  }
  return true;
}

std::string DescribeJournalDamage(const std::string& name, std::uint64_t damaged, bool unreadable) {
  if (damaged == 0 && !unreadable) return {};
  std::string line = "qst: " + name + ": USN journal ";
  if (damaged != 0)
    line += std::to_string(damaged) +
            (damaged == 1 ? " damaged stretch skipped" : " damaged stretches skipped");
  if (unreadable) line += std::string(damaged != 0 ? ", " : "") + "read in part";
  return line + "\n";
}

}  // namespace qst
