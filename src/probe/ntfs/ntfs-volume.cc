#include "probe/ntfs/ntfs-volume.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <set>
#include <tuple>

#include "probe/le.h"
#include "probe/ntfs/attribute-list.h"
#include "probe/ntfs/attribute.h"
#include "probe/ntfs/index.h"
#include "probe/ntfs/mft-record.h"
#include "probe/ntfs/object-id-index.h"

namespace qst {
namespace {

constexpr std::uint64_t kMftRecord = 0;
constexpr std::uint64_t kVolumeRecord = 3;
constexpr std::uint64_t kUpcaseRecord = 10;

// A bare MFT's record size is its first record's allocated size.
constexpr std::size_t kRecordHeaderRead = kRecordHeaderBytes;

}  // namespace

NtfsVolume::NtfsVolume(VolumeReader& reader, NtfsReadOptions options)
    : reader_(reader), options_(options), mft_(reader), names_(options.name_times) {}

bool NtfsVolume::Open(VolumeReader& reader, NtfsReadOptions options,
                      std::unique_ptr<NtfsVolume>* volume, std::string* error) {
  std::unique_ptr<NtfsVolume> v(new NtfsVolume(reader, options));
  // Deleted records are found only by a pass over the whole MFT.
  v->lazy_ = options.few_paths && !options.deleted;
  if (!v->ReadBootSector(error) || !v->mft_.Locate(v->boot_, error)) return false;
  if (v->lazy_)
    v->Load(kRootRecord);
  else
    v->ReadRecords();
  if (!v->CheckRoot(error)) return false;
  v->Finish();
  *volume = std::move(v);
  return true;
}

bool NtfsVolume::OpenMft(VolumeReader& reader, NtfsReadOptions options,
                         std::unique_ptr<NtfsVolume>* volume, std::string* error) {
  // Without clusters, a folder's index may lie beyond reach: read it all.
  std::unique_ptr<NtfsVolume> v(new NtfsVolume(reader, options));
  std::uint8_t header[kRecordHeaderRead];
  if (!reader.ReadAll(0, header, sizeof header) || !HasSignature(header, "FILE")) {
    *error = "no MFT record at its start";
    return false;
  }
  std::uint32_t size = DecodeRecordHeader(header).bytes_allocated;
  if (size != 1024 && size != 4096) {
    *error = "an MFT record size of " + std::to_string(size);
    return false;
  }
  v->mft_.LocateBare(size);
  v->bare_cluster_ = v->BareClusterSize();
  v->ReadRecords();
  if (!v->CheckRoot(error)) return false;
  v->Finish();
  *volume = std::move(v);
  return true;
}

bool NtfsVolume::ReadBootSector(std::string* error) {
  std::uint8_t boot[kBootSectorSize];
  if (!reader_.ReadAll(0, boot, sizeof boot)) {
    *error = "cannot read the boot sector";
    return false;
  }
  return ParseBootSector(boot, &boot_, error);
}

bool NtfsVolume::CheckRoot(std::string* error) {
  if (InUse(kRootRecord) && IsFolder(kRootRecord)) return true;
  // An image cut short before the MFT holds no record to read at all.
  const std::uint64_t root_end = boot_.mft_offset + (kRootRecord + 1) * boot_.record_size;
  if (boot_.record_size != 0 && reader_.Size() < root_end) {
    *error = "the image ends at byte " + std::to_string(reader_.Size()) +
             ", before the MFT's root folder record (at byte " +
             std::to_string(root_end - boot_.record_size) + "): it is cut short";
    return false;
  }
  *error = "the root folder's record is damaged";
  return false;
}

void NtfsVolume::Finish() {
  ReadUpcase();
  if (!lazy_) {
    BuildFolders();
  } else {
    // The volume's own object ID and its creation are asked of every file
    // with -n.
    Load(kVolumeRecord);
  }
  ReadObjectIdIndex();
  for (std::uint64_t record : {kVolumeRecord, kMftRecord}) {
    if (lazy_) Load(record);
    Times times;
    if (InUse(record) && TimesOf(record, &times) && times.creation != 0) {
      created_ = times.creation;
      break;
    }
  }
}

void NtfsVolume::ReadRecords() {
  // Sized once for what the MFT holds, rather than grown by doubling.
  records_.reserve(mft_.record_limit());
  names_.Reserve(mft_.record_limit());
  std::uint64_t end = mft_.ForEachRecord(
      [this](std::uint64_t number, const std::uint8_t* data) {
        // Records read before, as paths led to them, are in already.
        if (number < loaded_.size() && loaded_[number]) return;
        ParseRecord(number, {data, mft_.record_size()});
      },
      &lost_, options_.progress, options_.threads != 1);
  if (mft_.guessed()) ReadRecordsIndexesLeadTo(end);
  ReadExtensions();
  NoteDamage();
}

void NtfsVolume::ReadRecordsIndexesLeadTo(std::uint64_t pass_end) {
  // Where the MFT's extent is guessed, the pass ends at the first long
  // stretch without records; the folders' indexes may lead beyond it.
  std::vector<std::uint64_t> folders = {kRootRecord};
  std::set<std::uint64_t> visited;
  std::vector<std::uint8_t> data;
  while (!folders.empty()) {
    std::uint64_t folder = folders.back();
    folders.pop_back();
    if (!InUse(folder) || !IsFolder(folder) || !visited.insert(folder).second) continue;
    // An index read in part leads to fewer records: those it reaches are
    // read all the same.
    (void)ForEachIndexName(folder, [&](const FileNameEntry& entry) {
      std::uint64_t record = RecordNumber(entry.reference);
      if (record >= pass_end && record < mft_.record_limit() && FindRecord(record) == nullptr &&
          !lost_.Contains(record)) {
        if (mft_.ReadRecord(record, &data))
          ParseRecord(record, data);
        else
          NoteLost(record);
        lost_.Sort();
      }
      if (IsFolder(record)) folders.push_back(record);
    });
  }
}

void NtfsVolume::NoteDamage() {
  for (std::uint64_t r = 0; r < records_.size(); ++r) {
    if ((records_[r].flags & (kInUse | kHasTimes)) == kInUse)
      NoteLost(r);
    else if (records_[r].flags & kDamaged)
      damaged_.Note(r);
  }
  lost_.Sort();
  damaged_.Sort();
  // A file whose extension record was lost, or could not be taken as its
  // (damaged, or naming another file as its base), may miss names: its
  // folders' indexes give them.
  for (const auto& [base, extension] : named_extensions_)
    if ((lost_.Contains(extension) || damaged_.Contains(extension)) && FindRecord(base) != nullptr)
      MutableRecord(base).flags |= kPartial;
}

void NtfsVolume::ParseRecord(std::uint64_t number, std::span<const std::uint8_t> data) {
  const RecordHeader header = DecodeRecordHeader(data);
  const bool deleted = !header.in_use();
  if (deleted && !options_.deleted) return;
  // An extension record adds its attributes to its base record, once the
  // base is known to name it in its attribute list. The whole reference is
  // zero in a base record; an extension of the MFT itself names record 0
  // with a sequence number.
  if (header.base_reference != 0) {
    if (deleted) return;
    std::uint64_t base = RecordNumber(header.base_reference);
    if (Names(base, number))
      ParseAttributes(data, base, true);
    else
      found_extensions_.emplace_back(number, base);
    return;
  }
  ParseBase(number, data);
}

void NtfsVolume::ParseBase(std::uint64_t number, std::span<const std::uint8_t> data) {
  const RecordHeader header = DecodeRecordHeader(data);
  Record& r = MutableRecord(number);
  r.flags |= header.in_use() ? kInUse : kDeleted;
  if (header.folder()) r.flags |= kFolder;
  r.sequence = header.sequence;
  ParseAttributes(data, number, false);
}

void NtfsVolume::ParseAttributes(std::span<const std::uint8_t> data, std::uint64_t owner,
                                 bool extension) {
  Record& r = MutableRecord(owner);
  AttributeWalker walker(data.data(), static_cast<std::uint32_t>(data.size()));
  NtfsAttribute a;
  while (walker.Next(&a)) ParseAttribute(a, owner, extension, r);
  // Whatever followed the damage is lost: the file's names may be missing.
  if (walker.damaged()) r.flags |= kDamaged;
}

bool NtfsVolume::Names(std::uint64_t base, std::uint64_t extension) const {
  // A base whose list cannot be read cannot be checked: it is taken at its
  // extensions' word, and counted as read in part.
  const Record* r = FindRecord(base);
  return r != nullptr && (r->flags & kInUse) &&
         ((r->flags & kListUnread) || named_extensions_.count({base, extension}) != 0);
}

NtfsVolume::ExtensionRead NtfsVolume::ReadExtension(std::uint64_t extension, std::uint64_t base) {
  if (!Names(base, extension)) return ExtensionRead::kRejected;
  std::vector<std::uint8_t> data;
  if (!mft_.ReadRecord(extension, &data)) return ExtensionRead::kLost;
  const RecordHeader header = DecodeRecordHeader(data);
  if (RecordNumber(header.base_reference) != base || !header.in_use())
    return ExtensionRead::kRejected;
  ParseAttributes(data, base, true);
  return ExtensionRead::kRead;
}

void NtfsVolume::ReadExtensions() {
  // Those found before their base: read again now that every list is known.
  for (const auto& [extension, base] : found_extensions_) {
    ExtensionRead read = ReadExtension(extension, base);
    if (read == ExtensionRead::kLost) NoteLost(extension);
    if (read == ExtensionRead::kRejected) ReadAsOwnRecord(extension);
  }
  std::vector<std::pair<std::uint64_t, std::uint64_t>>().swap(found_extensions_);
}

void NtfsVolume::ReadAsOwnRecord(std::uint64_t number) {
  std::vector<std::uint8_t> data;
  if (!mft_.ReadRecord(number, &data)) {
    NoteLost(number);
    return;
  }
  ReadUnnamedExtension(number, data);
}

void NtfsVolume::ReadUnnamedExtension(std::uint64_t number, std::span<const std::uint8_t> data) {
  // Named by no base: never a part of the file it points at. One that holds
  // a $STANDARD_INFORMATION is a file of its own whose base reference is
  // damaged; any other is a piece of a file that cannot be told (damage, or
  // a forgery), its names left out.
  AttributeWalker walker(data.data(), static_cast<std::uint32_t>(data.size()));
  NtfsAttribute a;
  bool own_times = false;
  while (!own_times && walker.Next(&a)) own_times = a.type == kAttrStandardInformation;
  if (own_times) {
    ParseBase(number, data);
    MutableRecord(number).flags |= kDamaged;
  } else {
    damaged_.Note(number);
  }
}

void NtfsVolume::ParseAttribute(const NtfsAttribute& a, std::uint64_t owner, bool extension,
                                Record& r) {
  if (a.type == kAttrAttributeList && !extension) {
    // The rest of the file's attributes are in the records the list names.
    std::vector<std::uint8_t> list;
    if (!ReadAttributeValue(reader_, mft_.geometry(), a, &list, kMaxAttributeList)) {
      r.flags |= kDamaged | kListUnread;
      return;
    }
    for (const AttributeListEntry& entry : DecodeAttributeList(list))
      if (entry.record != owner) named_extensions_.emplace(owner, entry.record);
    return;
  }
  if (!a.resident) return;
  FileNameValue name;
  if (a.type == kAttrStandardInformation && !extension) {
    // The first, as Windows reads it: a second one added to a record shows
    // no other times.
    Times times;
    if ((r.flags & kHasTimes) == 0 && DecodeStandardInformation(a.value, a.value_length, &times))
      r.flags |= kHasTimes;
  } else if (a.type == kAttrFileName && DecodeFileName(a.value, a.value_length, &name)) {
    AddName(owner, name);
  } else if (a.type == kAttrObjectId && a.value_length >= kObjectIdSize &&
             !object_id_of_.count(owner)) {
    ObjectId id{};
    std::memcpy(id.bytes.data(), a.value,
                std::min<std::uint32_t>(a.value_length, kObjectIdWithBirthIds));
    id.extended = a.value_length >= kObjectIdWithBirthIds;
    object_id_of_[owner] = static_cast<std::uint32_t>(object_ids_.size());
    object_ids_.push_back(id);
  }
}

std::uint32_t NtfsVolume::AddName(std::uint64_t record, const FileNameValue& value) {
  Record& r = MutableRecord(record);
  std::uint32_t added = names_.Add(record, value, r.first_name);
  if (added == kNone) return kNone;
  r.first_name = added;
  r.flags |= kHasNames;
  if (record == kRootRecord && names_[added].parent == kRootRecord && root_name_ == kNone)
    root_name_ = added;
  return added;
}

void NtfsVolume::ReadUpcase() {
  std::unique_ptr<VolumeReader> stream;
  StreamLoss loss;
  if (!OpenStream(kUpcaseRecord, kAttrData, u"", &stream, &loss) || loss.any() ||
      loss.no_clusters || stream->Size() > kUpcaseTableBytes)
    return;
  std::vector<std::uint8_t> table(static_cast<std::size_t>(stream->Size()));
  if (stream->ReadAll(0, table.data(), table.size())) upcase_unusable_ = !upcase_.Load(table);
}

void NtfsVolume::ReadObjectIdIndex() {
  std::uint64_t objid = Lookup(kExtendRecord, u"$ObjId");
  if (objid == kNone) return;
  object_id_index_whole_ =
      IndexRead::kWhole ==
      ForEachIndexEntry(objid, u"$O", [&](const std::uint8_t* e, std::uint16_t length) {
        ObjectIdEntry entry;
        if (!DecodeObjectIdEntry(e, length, &entry)) return;
        birth_ids_[std::string(entry.object_id.begin(), entry.object_id.end())].emplace_back(
            entry.record, entry.birth_ids);
      });
}

bool NtfsVolume::NamesUnread(std::uint64_t record) const {
  const Record* r = FindRecord(record);
  return lost_.Contains(record) || (r != nullptr && (r->flags & (kDamaged | kPartial)) != 0);
}

void NtfsVolume::ReadIndexNames(const std::vector<std::uint32_t>& misplaced,
                                std::unordered_map<std::uint32_t, std::uint64_t>* indexed_in) {
  // The names that records lost or read in part still hold, so that an
  // index adds only the others; names of intact records come from the
  // records alone.
  std::set<std::tuple<std::uint64_t, std::uint64_t, std::u16string>> known;
  NameBuffer buffer;
  for (std::uint32_t i = 0; i < names_.size(); ++i)
    if (NamesUnread(names_[i].record))
      known.emplace(names_[i].record, names_[i].parent, NameText(i, buffer));
  std::unordered_multimap<std::uint64_t, std::uint32_t> misplaced_of;
  for (std::uint32_t name : misplaced) misplaced_of.emplace(names_[name].record, name);
  std::unordered_set<std::uint64_t> seen;  // index blocks read: each once in all
  std::u16string text;
  const std::uint64_t folders = records_.size();
  for (std::uint64_t folder = 0; folder < folders; ++folder) {
    if (!InUse(folder) || !IsFolder(folder)) continue;
    const IndexRead read = ForEachIndexName(
        folder,
        [&](const FileNameEntry& entry) {
          std::uint64_t file = RecordNumber(entry.reference);
          std::uint16_t sequence = SequenceNumber(entry.reference);
          if (file >= mft_.record_limit()) return;
          entry.key.CopyText(&text);
          if (NamesUnread(file)) {
            // A record that could not be read at all is known by its entry.
            if (!Listed(file)) {
              Record& r = MutableRecord(file);
              r.flags |= kInUse;
              r.sequence = sequence;
            }
            if (!InUse(file) || sequence != records_[file].sequence ||
                RecordNumber(entry.key.parent) != folder)
              return;
            std::tuple<std::uint64_t, std::uint64_t, std::u16string> name(file, folder, text);
            if (known.count(name) == 0 && AddName(file, entry.key) != kNone)
              known.insert(std::move(name));
            return;
          }
          // A name whose own parent reference fails is listed in the folder
          // whose index holds it.
          auto [first, last] = misplaced_of.equal_range(file);
          for (auto it = first; it != last; ++it) {
            if (sequence == records_[file].sequence && NameText(it->second, buffer) == text &&
                indexed_in->emplace(it->second, folder).second)
              break;
          }
        },
        &seen);
    // Names it held past the break are not placed: said, not hidden (a bare
    // MFT holds no index blocks at all, which its runs say).
    if (read == IndexRead::kInPart && mft_.geometry().cluster_size != 0) ++indexes_in_part_;
  }
}

bool NtfsVolume::InUse(std::uint64_t record) const {
  const Record* r = FindRecord(record);
  return r != nullptr && (r->flags & kInUse) != 0;
}

bool NtfsVolume::Deleted(std::uint64_t record) const {
  const Record* r = FindRecord(record);
  return r != nullptr && (r->flags & kDeleted) != 0;
}

bool NtfsVolume::TimesOf(std::uint64_t record, Times* times, Mft::Window* window,
                         std::optional<std::uint64_t>* size) const {
  const Record* r = FindRecord(record);
  if (r == nullptr || (r->flags & kHasTimes) == 0) return false;
  std::unique_lock<std::mutex> lock(own_window_mutex_, std::defer_lock);
  if (window == nullptr) {
    lock.lock();
    window = &own_window_;
  }
  // As the pass read them: the first $STANDARD_INFORMATION that holds
  // times; and the size of the unnamed data stream, in the header of its
  // first piece (a resident one's value length).
  bool has_times = false, has_size = size == nullptr;
  auto look = [&](const std::uint8_t* data, std::uint32_t length) {
    AttributeWalker walker(data, length);
    NtfsAttribute a;
    while ((!has_times || !has_size) && walker.Next(&a)) {
      if (!has_times && a.type == kAttrStandardInformation && a.resident)
        has_times = DecodeStandardInformation(a.value, a.value_length, times);
      if (!has_size && a.type == kAttrData && a.name.empty() && (a.resident || a.start_vcn == 0)) {
        *size = a.resident ? a.value_length : a.data_size;
        has_size = true;
      }
    }
  };
  // The record's first 510 bytes are the same before and after its fixups
  // are applied: where they hold what is asked, the record is read as it
  // lies.
  const std::uint8_t* data = mft_.RawRecordIn(record, window);
  if (data == nullptr) return false;
  const RecordHeader header = DecodeRecordHeader({data, mft_.record_size()});
  if (header.sequence != r->sequence || header.in_use() != ((r->flags & kInUse) != 0)) return false;
  look(data, std::min(mft_.record_size(), kFixupStride - 2));
  if (has_times && has_size) return true;
  // A folder has no data stream.
  if (has_times && (r->flags & kFolder) != 0) return true;
  data = mft_.RecordIn(record, window);
  if (data != nullptr) look(data, mft_.record_size());
  // A file of many names keeps its data stream in a record its list names,
  // which names the file back.
  const std::uint64_t base = record | std::uint64_t{r->sequence} << 48;
  for (auto it = named_extensions_.lower_bound({record, 0});
       has_times && !has_size && it != named_extensions_.end() && it->first == record; ++it) {
    data = mft_.RecordIn(it->second, window);
    if (data == nullptr) continue;
    const RecordHeader extension = DecodeRecordHeader({data, mft_.record_size()});
    if (extension.base_reference == base && extension.in_use()) look(data, mft_.record_size());
  }
  return has_times;
}

bool NtfsVolume::HasTimes(std::uint64_t record) const {
  return Listed(record) && (FindRecord(record)->flags & kHasTimes) != 0;
}

bool NtfsVolume::IsFolder(std::uint64_t record) const {
  if (record == kOrphanFolder) return !orphans_.empty();
  return Listed(record) && (FindRecord(record)->flags & kFolder) != 0;
}

bool NtfsVolume::VolumeObjectId(std::uint8_t (&id)[16]) const {
  auto it = object_id_of_.find(kVolumeRecord);
  if (!InUse(kVolumeRecord) || it == object_id_of_.end()) return false;
  std::memcpy(id, object_ids_[it->second].bytes.data(), 16);
  return true;
}

bool NtfsVolume::ObjectIdOf(std::uint64_t record, FILE_OBJECTID_BUFFER* id,
                            bool* births_known) const {
  auto it = object_id_of_.find(record);
  if (!Listed(record) || it == object_id_of_.end()) return false;
  const ObjectId& stored = object_ids_[it->second];
  std::memcpy(id, stored.bytes.data(), 64);
  if (births_known != nullptr) *births_known = stored.extended || object_id_index_whole_;
  if (!stored.extended) {
    // An entry counts only when the file it names holds that object ID.
    auto births =
        birth_ids_.find(std::string(stored.bytes.begin(), stored.bytes.begin() + kObjectIdSize));
    if (births != birth_ids_.end()) {
      for (const auto& [file, birth] : births->second) {
        if (file != record) continue;
        std::memcpy(reinterpret_cast<std::uint8_t*>(id) + 16, birth.data(), 48);
        if (births_known != nullptr) *births_known = true;
      }
    }
  }
  return true;
}

std::uint32_t NtfsVolume::FirstNameOf(std::uint64_t record) const {
  const Record* r = FindRecord(record);
  return r != nullptr ? r->first_name : kNone;
}

// A record's names are few; the chain ends in kNone, and one that loops
// is cut at more names than a record can hold.
constexpr int kMaxNamesOfRecord = 1024;

NtfsVolume::Kin NtfsVolume::KinOf(std::uint32_t name) const {
  const NameStore::Name& n = names_[name];
  Kin kin;
  std::uint32_t at = FirstNameOf(n.record);
  for (int hops = 0; at != kNone && hops < kMaxNamesOfRecord; ++hops, at = names_[at].next) {
    const NameStore::Name& other = names_[at];
    if (other.space != kDosName) {
      ++kin.links;
    } else if (n.space == kWin32Name && other.parent == n.parent &&
               other.parent_sequence == n.parent_sequence) {
      kin.short_name = at;
    }
  }
  return kin;
}

bool NtfsVolume::FirstLifeNamed(std::uint64_t record, int step, FILETIME* creation) const {
  if (!InUse(record) || SequenceOf(record) != 1) return false;
  // Of several names, the one that weighs least against the file between:
  // the earliest before it, the latest after it (a name a forger edited
  // leaves the others as NTFS wrote them).
  bool found = false;
  int names = 0;
  for (std::uint32_t n = FirstNameOf(record); n != kNone && ++names <= kMaxNamesOfRecord;
       n = names_[n].next) {
    Times times;
    if (!NameTimesOf(n, &times)) continue;
    if (!found || (step < 0 ? times.creation < *creation : times.creation > *creation))
      *creation = times.creation;
    found = true;
  }
  return found;
}

bool NtfsVolume::FirstLifeNeighbour(std::uint64_t record, int step, FILETIME* creation) const {
  for (int i = 1; i <= kNeighbourReach; ++i) {
    const std::uint64_t at = Beside(record, step, i);
    if (at < kFirstFileRecord || at >= RecordLimit()) return false;
    if (FirstLifeNamed(at, step, creation)) return true;
  }
  return false;
}

std::uint16_t NtfsVolume::SequenceOf(std::uint64_t record) const {
  const Record* r = FindRecord(record);
  return r != nullptr ? r->sequence : 0;
}

std::uint32_t NtfsVolume::ClusterSize() const {
  const auto size = static_cast<std::uint32_t>(mft_.geometry().cluster_size);
  return size != 0 ? size : bare_cluster_;
}

std::uint32_t NtfsVolume::BareClusterSize() const {
  // $MFT's own unnamed $DATA, whole in its first piece (as NTFS writes a
  // young volume's): its bytes allocated over its clusters.
  std::vector<std::uint8_t> raw;
  if (!mft_.ReadRecord(0, &raw)) return 0;
  AttributeWalker walker(raw.data(), mft_.record_size());
  NtfsAttribute a;
  while (walker.Next(&a)) {
    if (a.type != kAttrData || a.resident || !a.name.empty() || a.start_vcn != 0) continue;
    const std::uint64_t clusters = a.last_vcn + 1;
    if (clusters == 0 || a.allocated_size % clusters != 0) return 0;
    const std::uint64_t size = a.allocated_size / clusters;
    return size >= 512 && size <= (2u << 20) && std::has_single_bit(size)
               ? static_cast<std::uint32_t>(size)
               : 0;
  }
  return 0;
}
std::uint32_t NtfsVolume::MftRecordSize() const {
  return static_cast<std::uint32_t>(mft_.record_size());
}

NtfsVolume::Damage NtfsVolume::DamageFound() const {
  Damage d;
  d.lost = lost_.first();
  d.lost_count = lost_.count();
  d.damaged = damaged_.first();
  d.damaged_count = damaged_.count();
  d.misplaced = misplaced_;
  d.cycles = cycles_;
  if (IsFolder(kOrphanFolder) && orphan_name_ != u"$Orphan")
    d.orphan_folder.assign(orphan_name_.begin(), orphan_name_.end());  // ASCII
  d.mft_guessed = mft_.guessed();
  d.mirror_used = mft_.mirror_used();
  d.upcase_unusable = upcase_unusable_;
  d.indexes_in_part = indexes_in_part_;
  d.records_past_end = mft_.records_past_end();
  std::uint64_t size = reader_.Size();
  d.missing_bytes = size < boot_.volume_bytes ? boot_.volume_bytes - size : 0;
  return d;
}

}  // namespace qst
