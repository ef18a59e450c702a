#include "probe/image/volume-platform.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string_view>
#include <vector>

#include "probe/ntfs/mft-record.h"
#include "probe/utf16.h"
#include "probe/wildcard.h"

namespace qst {
namespace {

using namespace windows_error;

void CopyTimes(const NtfsVolume::Times& times, FILE_BASIC_INFO* basic) {
  basic->CreationTime = times.creation;
  basic->LastWriteTime = times.write;
  basic->ChangeTime = times.change;
  basic->LastAccessTime = times.access;
}

class ImagePlatform : public WindowsPathsPlatform, public Evidence {
 public:
  ImagePlatform(std::unique_ptr<VolumeReader> reader, std::unique_ptr<NtfsVolume> volume,
                Platform& host, HostErrorToWindows to_windows, std::string image_name,
                VolumeWitnesses witnesses, SnapshotSource snapshots)
      : WindowsPathsPlatform(host, to_windows),
        reader_(std::move(reader)),
        volume_(std::move(volume)),
        image_name_(std::move(image_name)),
        parts_(std::move(witnesses.parts)),
        lister_(std::move(witnesses.lister)),
        listed_witness_(witnesses.listed),
        snapshots_(std::move(snapshots)) {}

  Evidence* VolumeEvidence() override { return this; }

  bool ForEachListed(Witness witness, const ListingVisitor& visit) override {
    return lister_ != nullptr && witness == listed_witness_ && lister_->List(visit);
  }

  bool ProbesFromMemory() const override { return true; }

  std::optional<FILETIME> VolumeCreated() const override {
    if (volume_->Created() == 0) return std::nullopt;
    return volume_->Created();
  }

  std::vector<ClockStep> ClockSteps(std::uint64_t* more) const override {
    std::vector<ClockStep> steps;
    *more = 0;
    for (const auto& part : parts_) part->AddClockSteps(&steps, more);
    return steps;
  }

  std::optional<std::uint64_t> VolumeSerial() const override {
    std::uint64_t serial = volume_->Serial();
    if (serial == 0) return std::nullopt;
    return serial;
  }

  int Probe(const std::string& path, RawFileInfo* info) override {
    Found found;
    if (int error = Resolve(*volume_, Utf16FromWtf8(path), &found)) return error;
    volume_->ReachNeighbours(found.record);
    return Report(path, found, info);
  }

  void ProbeSnapshots(const std::string& path, const DirEntry* entry, const RawFileInfo* current,
                      std::vector<RawFileInfo>* states) override {
    const bool listed =
        entry != nullptr && (entry->hint.name != SearchHint::kNoName || entry->hint.snapshot_only);
    const std::uint64_t record = current != nullptr ? current->file_id : NtfsVolume::kNone;
    // The copies are read by one thread at a time: their readers (and the
    // library under them) promise no more.
    std::lock_guard<std::mutex> lock(snapshots_mutex_);
    for (Snapshot& snapshot : snapshots_.stores) {
      NtfsVolume& then = *snapshot.volume;
      // The file the path names now, by its record, sequence number and
      // state: NTFS raises a record's sequence number as it frees it, so a
      // file deleted in the copy shares both with the file that took its
      // record since.
      Found same{NtfsVolume::kNone, NtfsVolume::kNone};
      if (record != NtfsVolume::kNone && record != NtfsVolume::kOrphanFolder) {
        then.Reach(record);
        if (then.HasTimes(record) && then.SequenceOf(record) == volume_->SequenceOf(record) &&
            then.InUse(record) == volume_->InUse(record))
          same = {record, then.FirstNameOf(record)};
      }
      // The file the path names there: a listed name is looked up in the
      // same folder, by its text, whatever characters it holds.
      Found named{NtfsVolume::kNone, NtfsVolume::kNone};
      if (!listed) {
        if (Resolve(then, Utf16FromWtf8(path), &named) != 0) named.record = NtfsVolume::kNone;
      } else if (std::uint64_t folder = entry->hint.folder;
                 folder != SearchHint::kNoRecord && folder != NtfsVolume::kOrphanFolder) {
        then.Reach(folder);
        if (then.IsFolder(folder) && then.SequenceOf(folder) == entry->hint.folder_sequence)
          named = Step(then, folder, Utf16FromWtf8(entry->name));
      }
      if (named.record == same.record) same.name = named.name;
      AddState(then, snapshot, path, same, true, states);
      if (named.record != same.record) AddState(then, snapshot, path, named, false, states);
    }
  }

  int ProbeEntry(const std::string& path, const DirEntry& entry, RawFileInfo* info) override {
    return ProbeEntryWith(path, entry, info, nullptr);
  }

  std::unique_ptr<ProbeScratch> NewProbeScratch() override { return std::make_unique<MftWindow>(); }

  int ProbeEntryWith(const std::string& path, const DirEntry& entry, RawFileInfo* info,
                     ProbeScratch* scratch) override {
    // A listed name carries its number: the path need not be found again.
    if (entry.hint.snapshot_only) {
      *info = RawFileInfo{};
      info->absent = true;
      info->volume = 2;  // none of the volume's own files
      info->file_id = FileReference(entry.hint.record, entry.hint.sequence);
      return 0;
    }
    if (entry.hint.item != SearchHint::kNoName) {
      const std::uint32_t part = entry.hint.item >> kItemBits;
      const std::uint32_t item = entry.hint.item & ((1u << kItemBits) - 1);
      return part < parts_.size() && parts_[part]->ProbeListed(entry.hint.folder, item, info)
                 ? 0
                 : kFileNotFound;
    }
    if (entry.hint.name == SearchHint::kNoName) return Probe(path, info);
    return Report(path, {entry.hint.record, entry.hint.name}, info,
                  static_cast<MftWindow*>(scratch));
  }

  int OpenFolderSearch(const std::string& folder, const DirEntry& entry,
                       std::unique_ptr<DirSearch>* search) override {
    // A folder is entered by the record the listing found, whatever its
    // name holds.
    if (entry.hint.record == SearchHint::kNoRecord) return OpenSearch(folder + "*", search);
    if (!entry.hint.snapshot_only) return SearchFolder(entry.hint.record, u"*", search);
    std::vector<DirEntry> entries;
    for (const char16_t* dots : {u".", u".."}) entries.push_back({Wtf8FromUtf16(dots), true});
    ListSnapshotOnly(entry.hint.record, entry.hint.sequence, u"*", &entries);
    return Yield(std::move(entries), search);
  }

  int OpenSearch(const std::string& pattern, std::unique_ptr<DirSearch>* search) override {
    return OpenWindowsSearch(
        pattern, std::uint64_t{NtfsVolume::kRootRecord},
        [&](std::u16string_view path, std::uint64_t* folder) {
          Found found;
          const int error = Resolve(*volume_, path, &found);
          *folder = found.record;
          return error;
        },
        [&](std::uint64_t folder) { return volume_->IsFolder(folder); },
        [&](std::uint64_t folder, std::u16string_view wanted) {
          return SearchFolder(folder, wanted, search);
        },
        [&](std::uint64_t folder, std::u16string_view last) {
          const Found found = Step(*volume_, folder, last);
          if (found.record == NtfsVolume::kNone) return kFileNotFound;
          std::vector<DirEntry> entries;
          entries.push_back(Entry(Wtf8FromUtf16(last), found.record, found.name, folder));
          return Yield(std::move(entries), search);
        });
  }

  std::string LossReport() const override {
    std::string report = DescribeDamage(image_name_, volume_->DamageFound());
    for (const auto& part : parts_) report += part->LossReport();
    if (lister_ != nullptr) report += lister_->LossReport();
    report += snapshots_.report;
    for (const Snapshot& s : snapshots_.stores)
      report += DescribeDamage(image_name_ + " (shadow copy " + std::to_string(s.store) + ")",
                               s.volume->DamageFound());
    return report;
  }

  std::string AbsenceReport() const override {
    std::string report;
    for (const auto& part : parts_) report += part->AbsenceReport();
    if (lister_ != nullptr) report += lister_->AbsenceReport();
    return report + snapshots_.absence;
  }

 private:
  // The entries of `folder` that match `wanted`, as a search yields them:
  // "." and ".." first (but in the root), deleted entries, when asked for,
  // after the live ones, then those the shadow copies alone hold (-S), and
  // the made-up folder of orphans last, under a name no entry of the root
  // has. Each of the volume's entries is made as it is taken, so that a
  // folder of millions costs no list of them; nothing matching is an error.
  class FolderSearch : public DirSearch {
   public:
    FolderSearch(const ImagePlatform& platform, std::uint64_t folder, std::u16string_view wanted,
                 std::vector<DirEntry> tail)
        : platform_(platform),
          volume_(*platform.volume_),
          folder_(folder),
          wanted_(wanted),
          children_(volume_.Children(folder)),
          deleted_(volume_.DeletedChildren(folder)),
          tail_(std::move(tail)) {
      ready_ = Advance(&next_);
    }
    bool Empty() const { return !ready_; }
    bool Next(DirEntry* entry) override {
      if (!ready_) return false;
      *entry = std::move(next_);
      ready_ = Advance(&next_);
      return true;
    }

   private:
    bool Advance(DirEntry* entry) {
      static constexpr const char16_t* kDots[] = {u".", u".."};
      while (dots_ < 2 && folder_ != NtfsVolume::kRootRecord) {
        const char16_t* dots = kDots[dots_++];
        if (platform_.Matches(wanted_, dots)) {
          *entry = {Wtf8FromUtf16(dots), true};
          return true;
        }
      }
      for (; listed_ < children_.size() + deleted_.size(); ++listed_) {
        std::uint32_t name =
            listed_ < children_.size() ? children_[listed_] : deleted_[listed_ - children_.size()];
        std::u16string_view text = volume_.NameText(name, buffer_);
        std::uint64_t record = volume_.RecordOfName(name);
        if (volume_.Listed(record) && platform_.Matches(wanted_, text)) {
          *entry = platform_.Entry(Wtf8FromUtf16(text), record, name, folder_);
          ++listed_;
          return true;
        }
      }
      if (tailed_ == tail_.size()) return false;
      *entry = std::move(tail_[tailed_++]);
      return true;
    }

    const ImagePlatform& platform_;
    NtfsVolume& volume_;
    std::uint64_t folder_;
    std::u16string wanted_;
    std::span<const std::uint32_t> children_, deleted_;
    std::vector<DirEntry> tail_;  // after the volume's entries
    int dots_ = 0;
    std::size_t listed_ = 0, tailed_ = 0;
    NtfsVolume::NameBuffer buffer_;
    DirEntry next_;
    bool ready_ = false;
  };

  // Opens the search of `folder` for `wanted`.
  int SearchFolder(std::uint64_t folder, std::u16string_view wanted,
                   std::unique_ptr<DirSearch>* search) {
    std::vector<DirEntry> tail;
    if (!snapshots_.stores.empty() && folder != NtfsVolume::kOrphanFolder) {
      // The names the shadow copies alone hold are known only once the
      // volume's own are.
      FolderSearch own(*this, folder, wanted, {});
      std::vector<DirEntry> entries;
      for (DirEntry e; own.Next(&e);) entries.push_back(std::move(e));
      std::size_t listed = entries.size();
      ListSnapshotOnly(folder, volume_->SequenceOf(folder), wanted, &entries);
      tail.assign(std::make_move_iterator(entries.begin() + static_cast<std::ptrdiff_t>(listed)),
                  std::make_move_iterator(entries.end()));
    }
    auto matches = [&](std::u16string_view name) { return Matches(wanted, name); };
    for (std::size_t p = 0; p < parts_.size(); ++p)
      parts_[p]->ListFolder(folder, matches, static_cast<std::uint32_t>(p), &tail);
    if (folder == NtfsVolume::kRootRecord && volume_->IsFolder(NtfsVolume::kOrphanFolder) &&
        Matches(wanted, volume_->OrphanFolderName()))
      tail.push_back(Entry(Wtf8FromUtf16(volume_->OrphanFolderName()), NtfsVolume::kOrphanFolder,
                           NtfsVolume::kNone, folder));
    auto found = std::make_unique<FolderSearch>(*this, folder, wanted, std::move(tail));
    if (found->Empty()) return kFileNotFound;
    *search = std::move(found);
    return 0;
  }

  // Adds the entries of the folder (`folder`, `sequence`) that match
  // `wanted` and that the shadow copies alone hold: names none of
  // `entries` has, from each copy that holds the same folder, oldest first,
  // each once.
  void ListSnapshotOnly(std::uint64_t folder, std::uint16_t sequence, std::u16string_view wanted,
                        std::vector<DirEntry>* entries) {
    if (snapshots_.stores.empty()) return;
    auto key = [&](std::u16string_view text) {
      std::u16string upper(text);
      for (char16_t& c : upper) c = volume_->Upcase(c);
      return upper;
    };
    std::set<std::u16string> seen;
    for (const DirEntry& e : *entries)
      if (e.hint.record != SearchHint::kNoRecord) seen.insert(key(Utf16FromWtf8(e.name)));
    NtfsVolume::NameBuffer buffer;
    std::lock_guard<std::mutex> lock(snapshots_mutex_);
    for (Snapshot& snapshot : snapshots_.stores) {
      NtfsVolume& then = *snapshot.volume;
      then.Reach(folder);
      if (!then.IsFolder(folder) || then.SequenceOf(folder) != sequence) continue;
      for (std::span<const std::uint32_t> names :
           {then.Children(folder), then.DeletedChildren(folder)}) {
        for (std::uint32_t name : names) {
          std::u16string_view text = then.NameText(name, buffer);
          std::uint64_t record = then.RecordOfName(name);
          if (!then.Listed(record) || !Matches(then, wanted, text) ||
              !seen.insert(key(text)).second)
            continue;
          DirEntry entry{Wtf8FromUtf16(text), then.IsFolder(record)};
          entry.hint.record = record;
          entry.hint.sequence = then.SequenceOf(record);
          entry.hint.folder = folder;
          entry.hint.folder_sequence = sequence;
          entry.hint.snapshot_only = true;
          entries->push_back(std::move(entry));
        }
      }
    }
  }

  // A search over `entries`; nothing matching is an error.
  static int Yield(std::vector<DirEntry> entries, std::unique_ptr<DirSearch>* search) {
    if (entries.empty()) return kFileNotFound;
    search->reset(new VectorSearch(std::move(entries)));
    return 0;
  }

  DirEntry Entry(std::string name, std::uint64_t record, std::uint32_t name_number,
                 std::uint64_t folder) const {
    DirEntry entry{std::move(name), volume_->IsFolder(record), record == NtfsVolume::kOrphanFolder};
    entry.hint.record = record;
    entry.hint.name = name_number;
    entry.hint.folder = folder;
    entry.hint.folder_sequence = volume_->SequenceOf(folder);
    return entry;
  }

  // A record, and the name by which it was reached (kNone when none).
  struct Found {
    std::uint64_t record = NtfsVolume::kRootRecord;
    std::uint32_t name = NtfsVolume::kNone;
  };

  // What a thread keeps between probes: a stretch of the volume's MFT.
  struct MftWindow : ProbeScratch {
    Mft::Window window;
    std::vector<JoinScratch> joins;  // one for each part
  };

  // Fills `info` for the record found at `path` on the volume, reading it
  // through what the calling thread keeps, when given.
  int Report(const std::string& path, Found found, RawFileInfo* info,
             MftWindow* scratch = nullptr) const {
    if (int error =
            ReadState(*volume_, path, found, info, scratch != nullptr ? &scratch->window : nullptr))
      return error;
    // Where the path went by a name whose times were read, the names of the
    // records beside the file's, for the order NTFS made them in.
    FILETIME neighbour = 0;
    if (info->facts.Has(Fact::kNameCreation) && volume_->SequenceOf(found.record) == 1) {
      if (volume_->FirstLifeNeighbour(found.record, -1, &neighbour))
        info->facts.Set(Fact::kRecordBefore, neighbour);
      if (volume_->FirstLifeNeighbour(found.record, +1, &neighbour))
        info->facts.Set(Fact::kRecordAfter, neighbour);
    }
    const FileJoin file{found.record, volume_->SequenceOf(found.record), found.name};
    if (scratch != nullptr) scratch->joins.resize(parts_.size());
    for (std::size_t p = 0; p < parts_.size(); ++p)
      parts_[p]->Join(file, info, scratch != nullptr ? &scratch->joins[p] : nullptr);
    return 0;
  }

  // Fills `info` for the record of `volume` found at `path`.
  static int ReadState(NtfsVolume& volume, const std::string& path, Found found, RawFileInfo* info,
                       Mft::Window* window = nullptr) {
    const std::uint64_t record = found.record;
    bool wants_folder = !path.empty() && path.back() == '\\';
    if (wants_folder && !volume.IsFolder(record)) return kInvalidName;
    // The orphans' folder is made up: there is nothing to report of it.
    if (record == NtfsVolume::kOrphanFolder) return kInvalidFunction;
    // Times that were not read are not shown, as zeros or otherwise.
    NtfsVolume::Times times;
    std::optional<std::uint64_t> size;
    if (!volume.TimesOf(record, &times, window, &size)) return kFileCorrupt;
    *info = RawFileInfo{};
    CopyTimes(times, &info->basic);
    info->has_size = size.has_value();
    info->size = size.value_or(0);
    info->has_object_id = volume.ObjectIdOf(record, &info->object_id, &info->has_birth_ids);
    info->file_index = static_cast<std::uint32_t>(record);
    info->volume = 1;
    info->file_id = record;
    if (volume.IsFolder(record)) info->basic.FileAttributes = kFileAttributeDirectory;
    // The $FILE_NAME of the name the path went by lies in the same record.
    NtfsVolume::Times name_times;
    if (found.name != NtfsVolume::kNone && volume.NameTimesOf(found.name, &name_times)) {
      info->facts.Set(Fact::kNameAccess, name_times.access);
      info->facts.Set(Fact::kNameWrite, name_times.write);
      info->facts.Set(Fact::kNameChange, name_times.change);
      info->facts.Set(Fact::kNameCreation, name_times.creation);
    }
    if (found.name != NtfsVolume::kNone) {
      // The 8.3 name's creation (with the name's times) and the hard links:
      // what the signs weigh the name and its index entry against.
      const NtfsVolume::Kin kin = volume.KinOf(found.name);
      if (info->facts.Has(Fact::kNameCreation) && kin.short_name != NtfsVolume::kNone &&
          volume.NameTimesOf(kin.short_name, &name_times))
        info->facts.Set(Fact::kShortNameCreation, name_times.creation);
      info->facts.Set(Fact::kNameLinks, kin.links);
    }
    // The keys to join on: the record's sequence number, and the folder the
    // name lies in, where it is one of the volume's records.
    info->facts.Set(Fact::kSequence, volume.SequenceOf(record));
    if (found.name != NtfsVolume::kNone && volume.FolderOfName(found.name) != NameStore::kNone) {
      info->facts.Set(Fact::kParentRecord, volume.FolderOfName(found.name));
      info->facts.Set(Fact::kParentSequence, volume.FolderSequenceOfName(found.name));
    }
    info->deleted = volume.Deleted(record);
    info->has_volume_id = volume.VolumeObjectId(info->volume_id);
    info->volume_created = volume.Created();
    return 0;
  }

  // Adds the state of the record `found` in `snapshot`, when it can be read.
  static void AddState(NtfsVolume& volume, const Snapshot& snapshot, const std::string& path,
                       Found found, bool same_file, std::vector<RawFileInfo>* states) {
    RawFileInfo state;
    if (found.record == NtfsVolume::kNone || ReadState(volume, path, found, &state) != 0) return;
    state.facts.Set(Fact::kSnapshotStore, static_cast<std::uint64_t>(snapshot.store));
    state.facts.Set(Fact::kSnapshotCreated, snapshot.created);
    state.same_file = same_file;
    states->push_back(std::move(state));
  }

  // The entry of `folder` called `name`, or a record of kNone. The root's
  // real entries come before the made-up folder of orphans (whose name
  // none of them has).
  static Found Step(NtfsVolume& volume, std::uint64_t folder, std::u16string_view name) {
    std::uint32_t found = volume.LookupName(folder, name);
    if (found != NtfsVolume::kNone && volume.Listed(volume.RecordOfName(found)))
      return {volume.RecordOfName(found), found};
    if (folder == NtfsVolume::kRootRecord && volume.IsFolder(NtfsVolume::kOrphanFolder) &&
        Matches(volume, volume.OrphanFolderName(), name))
      return {NtfsVolume::kOrphanFolder, NtfsVolume::kNone};
    return {NtfsVolume::kNone, NtfsVolume::kNone};
  }

  // Finds the record a path names, each name an NTFS name (WalkWindowsPath).
  static int Resolve(NtfsVolume& volume, std::u16string_view path, Found* found) {
    return WalkWindowsPath(
        path, Found{NtfsVolume::kRootRecord, volume.RootName()},
        [&](const Found& f) { return volume.IsFolder(f.record); },
        [&](const Found& folder, std::u16string_view name, Found* next) {
          *next = Step(volume, folder.record, name);
          return next->record != NtfsVolume::kNone;
        },
        found);
  }

  // Names match without regard to case, by the volume's own table.
  static bool Matches(const NtfsVolume& volume, std::u16string_view pattern,
                      std::u16string_view name) {
    if (pattern == u"*") return true;
    return MatchWildcard(pattern, name, [&](char16_t a, char16_t b) {
      return volume.Upcase(a) == volume.Upcase(b);
    });
  }
  bool Matches(std::u16string_view pattern, std::u16string_view name) const {
    return Matches(*volume_, pattern, name);
  }

  std::unique_ptr<VolumeReader> reader_;
  std::unique_ptr<NtfsVolume> volume_;
  std::string image_name_;
  std::vector<std::unique_ptr<WitnessPart>> parts_;
  std::unique_ptr<WitnessLister> lister_;  // of the witness the run lists, if any
  std::optional<Witness> listed_witness_;
  SnapshotSource snapshots_;
  std::mutex snapshots_mutex_;
  // What listing the journal met.
};

}  // namespace

std::unique_ptr<Platform> MakeVolumePlatform(std::unique_ptr<VolumeReader> reader,
                                             std::unique_ptr<NtfsVolume> volume, Platform& host,
                                             HostErrorToWindows to_windows, std::string image_name,
                                             VolumeWitnesses witnesses, SnapshotSource snapshots) {
  return std::make_unique<ImagePlatform>(std::move(reader), std::move(volume), host, to_windows,
                                         std::move(image_name), std::move(witnesses),
                                         std::move(snapshots));
}

}  // namespace qst
