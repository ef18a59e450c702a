#include "probe/witnesses/usn/usn-part.h"

#include <algorithm>
#include <chrono>
#include <span>
#include <vector>

#include "probe/ntfs/attribute.h"
#include "probe/ntfs/mft-record.h"
#include "probe/utf16.h"
#include "probe/witnesses/usn/usn-carve.h"
#include "probe/witnesses/usn/usn-journal.h"
#include "util/text.h"

namespace qst {
namespace {

// The time of the run: nothing on the volume was written after it.
FILETIME NowAsFiletime() {
  const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
  return kUnixEpochTicks + static_cast<FILETIME>(now + 1) * kTicksPerSecond;
}

// Reads the journal collected apart (`file`), else the volume's own; false
// when the volume has none.
bool ReadJournal(NtfsVolume* volume, VolumeReader* file,
                 const std::function<void(const UsnRecord&)>& visit, std::uint64_t* damaged,
                 bool* unreadable) {
  if (file == nullptr) return ReadVolumeJournal(*volume, visit, damaged, unreadable);
  bool read = true;
  *damaged = ReadUsnStream(*file, visit, &read);
  *unreadable = !read;
  return true;
}

// The change journal: the volume's own $UsnJrnl:$J, or a stream collected
// apart, read whole into an index by file reference.
class JournalPart : public WitnessPart {
 public:
  JournalPart(std::unique_ptr<UsnJournalIndex> index, std::string image_name, std::string merged,
              bool own)
      : index_(std::move(index)),
        image_name_(std::move(image_name)),
        merged_(std::move(merged)),
        own_(own) {}

  void Join(const FileJoin& file, RawFileInfo* info, JoinScratch*) const override {
    if (index_ == nullptr) return;
    index_->Join(file.record, file.sequence, &info->facts, &info->events);
    if (!index_->clock_steps().empty())
      info->facts.Set(Fact::kCreatedInClockSpan, index_->InClockSpan(info->basic.CreationTime));
  }

  void AddClockSteps(std::vector<ClockStep>* steps, std::uint64_t* more) const override {
    if (index_ == nullptr) return;
    steps->insert(steps->end(), index_->clock_steps().begin(), index_->clock_steps().end());
    *more += index_->more_clock_steps();
  }

  std::string LossReport() const override {
    if (index_ == nullptr) return merged_ + AbsenceReport();
    return merged_ + AbsenceReport() +
           DescribeJournalDamage(image_name_, index_->damaged, index_->unreadable);
  }
  std::string AbsenceReport() const override {
    return own_ ? std::string() : NoJournalLine(image_name_);
  }

 private:
  std::unique_ptr<UsnJournalIndex> index_;  // null: the volume has no journal
  std::string image_name_;
  std::string merged_;  // the lines that tell what the copies' journals added
  bool own_;            // the volume has a journal of its own
};

// A journal record by its USN and its file's reference, and the copy that
// added it (its place among the copies).
struct RecordKey {
  std::uint64_t usn, file;
  std::size_t store = 0;
  bool operator<(const RecordKey& o) const { return usn != o.usn ? usn < o.usn : file < o.file; }
};

// Sorted keys of the records read: 24 bytes a record, looked up by halves.
class RecordKeys {
 public:
  // The key of a record added before; null when none is.
  const RecordKey* Find(std::uint64_t usn, std::uint64_t file) const {
    const RecordKey key{usn, file};
    auto it = std::lower_bound(keys_.begin(), keys_.end(), key);
    return it != keys_.end() && !(key < *it) ? &*it : nullptr;
  }
  // Takes the keys of records added since the last call.
  void Merge(std::vector<RecordKey>* added) {
    std::sort(added->begin(), added->end());
    const std::ptrdiff_t before = std::ssize(keys_);
    keys_.insert(keys_.end(), added->begin(), added->end());
    std::inplace_merge(keys_.begin(), keys_.begin() + before, keys_.end());
    added->clear();
  }

 private:
  std::vector<RecordKey> keys_;
};

// Visits, copy by copy (oldest first), each record of the shadow copies'
// journals that `seen` lacks (the volume's own, an older copy's), with the
// copy's place, and adds it to `seen`. A record is known by its USN and its
// file: a journal goes on from one copy to the next, so that one a later
// copy holds is the same record.
void ForEachStoreOnlyRecord(std::span<const StoreVolume> stores, RecordKeys* seen,
                            const std::function<void(std::size_t, const UsnRecord&)>& visit) {
  std::vector<RecordKey> fresh;
  for (std::size_t s = 0; s < stores.size(); ++s) {
    std::uint64_t damaged = 0;
    bool unreadable = false;
    (void)ReadVolumeJournal(
        *stores[s].volume,
        [&](const UsnRecord& r) {
          if (seen->Find(r.usn, r.file) != nullptr) return;
          fresh.push_back({r.usn, r.file, s});
          visit(s, r);
        },
        &damaged, &unreadable);
    seen->Merge(&fresh);
  }
}

}  // namespace

bool OpenJournalPart(const PartSource& source, std::unique_ptr<WitnessPart>* part,
                     std::string* message) {
  const ImageSelection& selection = source.selection;
  auto index = std::make_unique<UsnJournalIndex>(selection.events);
  std::unique_ptr<VolumeReader> file;
  if (const std::string& journal = selection.apart_of(Witness::kUsn);
      !journal.empty() &&
      !OpenJournalStream(journal, source.open_file, source.host, &file, message))
    return false;
  // With -S, the copies' journals first (their records are older), then the
  // volume's own, each record once; not beside a journal collected apart.
  RecordKeys seen;
  std::vector<std::uint64_t> added, also_here(source.stores.size());
  const bool stores = file == nullptr && !source.stores.empty();
  if (stores) {
    added.resize(source.stores.size());
    ForEachStoreOnlyRecord(source.stores, &seen, [&](std::size_t s, const UsnRecord& r) {
      index->Add(r);
      ++added[s];
    });
  }
  const bool merging = stores && index->records() != 0;
  const bool found = ReadJournal(
      &source.volume, file.get(),
      [&](const UsnRecord& r) {
        if (const RecordKey* known = merging ? seen.Find(r.usn, r.file) : nullptr) {
          ++also_here[known->store];
          return;
        }
        index->Add(r);
      },
      &index->damaged, &index->unreadable);
  std::string merged;
  for (std::size_t s = 0; s < added.size(); ++s)
    if (added[s] != also_here[s])
      merged += Format(
          "qst: %s: USN journal of shadow copy %d: %llu records the volume's own no longer "
          "holds\n",
          selection.path.c_str(), source.stores[s].number,
          static_cast<unsigned long long>(added[s] - also_here[s]));
  if (!found && !merging) index.reset();
  *part = std::make_unique<JournalPart>(std::move(index), selection.path, std::move(merged), found);
  return true;
}

namespace {

// The journal listed record by record, each with its file's path as it was
// then; with `states` (-a), each said to be read live, and after them the
// records carved from the volume's free clusters.
class JournalLister : public WitnessLister {
 public:
  JournalLister(NtfsVolume* volume, std::unique_ptr<VolumeReader> file, std::string name,
                bool carve, std::span<const StoreVolume> stores)
      : volume_(volume),
        file_(std::move(file)),
        name_(std::move(name)),
        carve_(carve && volume != nullptr),
        stores_(file_ == nullptr ? stores.begin() : stores.end(), stores.end()) {}

  bool List(const Evidence::ListingVisitor& visit) override {
    listed_ = true;
    std::optional<JournalPaths> paths;
    if (volume_ != nullptr) paths.emplace(*volume_);
    // A first pass learns where folders were before they moved, and which
    // records the volume's own journal holds.
    RecordKeys own;
    std::vector<RecordKey> own_keys;
    std::uint64_t damaged = 0;
    bool unreadable = false;
    found_ = volume_ == nullptr || ReadJournal(
                                       volume_, file_.get(),
                                       [&](const UsnRecord& r) {
                                         paths->Learn(r);
                                         if (!stores_.empty()) own_keys.push_back({r.usn, r.file});
                                       },
                                       &damaged, &unreadable);
    own.Merge(&own_keys);
    const std::vector<std::vector<UsnRecord>> older = StoresOnly(own, paths);
    // Where each record was read, with -a or -S.
    const bool states = carve_ || !stores_.empty();
    FILETIME latest = 0;
    auto with_path = [&](const UsnRecord& r, const char* state) {
      latest = std::max(latest, r.time);
      visit({Witness::kUsn, &r, paths ? std::string_view(paths->Of(r)) : std::string_view(),
             ListedRecord::kNoTarget, state});
    };
    for (std::size_t s = 0; s < older.size(); ++s)
      for (const UsnRecord& r : older[s]) with_path(r, store_states_[s].c_str());
    if (found_)
      found_ = ReadJournal(
          volume_, file_.get(),
          [&](const UsnRecord& r) { with_path(r, states ? "live" : nullptr); }, &damaged_,
          &unreadable_);
    const bool listed =
        found_ || std::any_of(older.begin(), older.end(), [](const auto& o) { return !o.empty(); });
    if (!carve_) return listed;
    // Carved records name folders the journal of then knew, which no
    // journal now can place: they have no path.
    carving_ = true;
    CarveUsnRecords(
        *volume_, std::max(latest, NowAsFiletime()),
        [&](const UsnRecord& r) {
          visit({Witness::kUsn, &r, std::string_view(), ListedRecord::kNoTarget, "carved"});
        },
        &carved_);
    return listed || carved_.records != 0;
  }
  std::string LossReport() const override {
    if (!listed_) return {};
    std::string report = AbsenceReport() + DescribeJournalDamage(name_, damaged_, unreadable_);
    if (carving_) report += DescribeCarving(name_, carved_);
    return report;
  }
  std::string AbsenceReport() const override {
    return listed_ && !found_ ? NoJournalLine(name_) : std::string();
  }

 private:
  // The records of each copy's journal that neither the volume's own
  // (`own`) nor an older copy's holds, learnt by `paths`; each copy's
  // state text set.
  std::vector<std::vector<UsnRecord>> StoresOnly(RecordKeys& own,
                                                 std::optional<JournalPaths>& paths) {
    std::vector<std::vector<UsnRecord>> older(stores_.size());
    for (const StoreVolume& store : stores_) store_states_.push_back(StoreState(store));
    ForEachStoreOnlyRecord(stores_, &own, [&](std::size_t s, const UsnRecord& r) {
      if (paths) paths->Learn(r);
      older[s].push_back(r);
    });
    return older;
  }

  NtfsVolume* volume_;                  // null: a stream listed without an image
  std::unique_ptr<VolumeReader> file_;  // collected apart; null: the volume's own
  std::string name_;                    // what its damage is told of
  bool carve_;
  // Kept: what the lister is opened with is gone before it lists (the
  // copies' volumes stay, with the platform).
  std::vector<StoreVolume> stores_;
  std::vector<std::string> store_states_;
  bool listed_ = false, found_ = true, unreadable_ = false, carving_ = false;
  std::uint64_t damaged_ = 0;
  CarvedCount carved_;
};

}  // namespace

bool OpenJournalLister(const ListerSource& source, std::unique_ptr<WitnessLister>* lister,
                       std::string* message) {
  const std::string& journal = source.selection.apart_of(Witness::kUsn);
  std::unique_ptr<VolumeReader> file;
  if (!journal.empty() &&
      !OpenJournalStream(journal, source.open_file, source.host, &file, message))
    return false;
  // A stream listed beside an image is told of by the image's name.
  *lister = std::make_unique<JournalLister>(
      source.volume, std::move(file), source.volume != nullptr ? source.selection.path : journal,
      source.selection.wants(Witness::kState), source.stores);
  return true;
}

bool ReadVolumeJournal(NtfsVolume& volume, const std::function<void(const UsnRecord&)>& visit,
                       std::uint64_t* damaged, bool* unreadable) {
  const std::uint64_t journal = volume.Lookup(NtfsVolume::kExtendRecord, u"$UsnJrnl");
  if (journal == NtfsVolume::kNone || !volume.InUse(journal)) return false;
  std::unique_ptr<VolumeReader> stream;
  NtfsVolume::StreamLoss loss;
  if (!volume.OpenStream(journal, kAttrData, u"$J", &stream, &loss)) return false;
  if (loss.any()) *unreadable = true;
  bool read = true;
  *damaged += ReadUsnStream(*stream, visit, &read);
  if (!read) *unreadable = true;
  return true;
}

std::string NoJournalLine(const std::string& name) {
  return "qst: " + name + ": no USN change journal ($Extend\\$UsnJrnl:$J)\n";
}

void JournalPaths::Learn(const UsnRecord& r) {
  if (r.major == 4 || (r.attributes & kFileAttributeDirectory) == 0 ||
      (r.reason & (kUsnFileDelete | kUsnRenameOldName)) == 0)
    return;
  places_[r.file].push_back({r.usn, r.parent, r.name});
  changes_.push_back(r.usn);
  sorted_ = false;
}

const std::optional<std::string>& JournalPaths::FolderAt(std::uint64_t folder, std::uint64_t usn) {
  if (!sorted_) {
    for (auto& [reference, places] : places_)
      std::stable_sort(places.begin(), places.end(),
                       [](const Place& a, const Place& b) { return a.usn < b.usn; });
    std::sort(changes_.begin(), changes_.end());
    sorted_ = true;
  }
  // Folders' places hold between two changes: the paths found are kept
  // until the next change passes.
  const std::size_t epoch = static_cast<std::size_t>(
      std::upper_bound(changes_.begin(), changes_.end(), usn) - changes_.begin());
  if (epoch != epoch_) {
    folders_.clear();
    epoch_ = epoch;
  }
  auto [found, fresh] = folders_.try_emplace(folder);
  if (!fresh) return found->second;
  // Up the chain of folders, each in its place as at `usn`: the first
  // change after it tells the place it had, else the volume now does.
  std::vector<std::u16string> names;
  std::uint64_t at = folder;
  bool from_journal = true;  // `at` as a record names it, not as the volume does
  for (;;) {
    if (RecordNumber(at) == NtfsVolume::kRootRecord) break;
    // A chain longer than the volume's records loops.
    if (names.size() > volume_.RecordCount()) return found->second;
    std::u16string name;
    std::uint64_t parent = 0;
    const auto place = places_.find(at);
    const Place* then = nullptr;
    if (place != places_.end()) {
      auto next = std::upper_bound(place->second.begin(), place->second.end(), usn,
                                   [](std::uint64_t u, const Place& p) { return u < p.usn; });
      if (next != place->second.end()) then = &*next;
    }
    if (then != nullptr) {
      name = then->name;
      parent = then->parent;
    } else if ((from_journal && SequenceNumber(at) != volume_.SequenceOf(RecordNumber(at))) ||
               !volume_.FolderPlace(RecordNumber(at), SequenceNumber(at), &name, &parent)) {
      return found->second;
    }
    from_journal = then != nullptr;
    names.push_back(std::move(name));
    at = parent;
  }
  std::string path = "C:";
  for (auto it = names.rbegin(); it != names.rend(); ++it) path += "\\" + Wtf8FromUtf16(*it);
  found->second = std::move(path);
  return found->second;
}

const std::string& JournalPaths::Of(const UsnRecord& r) {
  path_.clear();
  if (r.major == 4) return path_;  // no name, no parent
  if (RecordNumber(r.file) == NtfsVolume::kRootRecord) return path_ = "C:\\";
  const std::optional<std::string>& folder = FolderAt(r.parent, r.usn);
  if (!folder) return path_;
  path_ = *folder + "\\" + Wtf8FromUtf16(r.name);
  if ((r.attributes & kFileAttributeDirectory) != 0) path_ += '\\';
  return path_;
}

bool OpenJournalStream(const std::string& path, FileOpener open, Platform& host,
                       std::unique_ptr<VolumeReader>* file, std::string* message) {
  if (int error = open(path, 0, file)) {
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
