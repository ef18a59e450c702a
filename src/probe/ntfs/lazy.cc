// Reading a few records as paths lead to them, through their folders' $I30
// indexes, and reading the rest of the volume, once, where that is not
// enough. Records and names read before keep their numbers.
#include "probe/le.h"
#include "probe/ntfs/attribute.h"
#include "probe/ntfs/index.h"
#include "probe/ntfs/mft-record.h"
#include "probe/ntfs/ntfs-volume.h"

namespace qst {

NtfsVolume::Record& NtfsVolume::MutableRecord(std::uint64_t record) {
  if (lazy_) return sparse_records_[record];
  if (record >= records_.size()) records_.resize(record + 1);
  return records_[record];
}

const NtfsVolume::Record* NtfsVolume::FindRecord(std::uint64_t record) const {
  if (!lazy_) return record < records_.size() ? &records_[record] : nullptr;
  auto it = sparse_records_.find(record);
  return it == sparse_records_.end() ? nullptr : &it->second;
}

void NtfsVolume::ReadAll() {
  lazy_ = false;
  for (auto& [number, record] : sparse_records_) MutableRecord(number) = record;
  std::unordered_map<std::uint64_t, Record>().swap(sparse_records_);
  // The pass notes every record it finds lost or damaged, those read before
  // included.
  lost_.Clear();
  damaged_.Clear();
  ReadRecords();
  std::vector<bool>().swap(loaded_);
  BuildFolders();
}

void NtfsVolume::Load(std::uint64_t record) {
  if (record >= mft_.record_limit()) return;
  if (loaded_.size() <= record) loaded_.resize(record + 1);
  if (loaded_[record]) return;
  loaded_[record] = true;
  std::vector<std::uint8_t> data;
  if (!mft_.ReadRecord(record, &data)) {
    NoteLost(record);
    lost_.Sort();
    return;
  }
  const RecordHeader header = DecodeRecordHeader(data);
  if (header.base_reference != 0 && header.in_use()) {
    // An extension record, reached by itself: part of its base when the
    // base's list names it, as a full read has it.
    std::uint64_t base = RecordNumber(header.base_reference);
    Load(base);
    if (Names(base, record))
      ParseAttributes(data, base, true);
    else
      ReadUnnamedExtension(record, data);
  } else {
    ParseRecord(record, data);
  }
  // The rest of a file's attributes, in the records its list names. One
  // that does not name the file back stays unread (a full read rejects it
  // again).
  std::vector<std::uint64_t> extensions;
  for (auto it = named_extensions_.lower_bound({record, 0});
       it != named_extensions_.end() && it->first == record; ++it)
    extensions.push_back(it->second);
  for (std::uint64_t extension : extensions) {
    if (extension >= mft_.record_limit()) continue;
    if (loaded_.size() <= extension) loaded_.resize(extension + 1);
    if (loaded_[extension]) continue;
    ExtensionRead read = ReadExtension(extension, record);
    if (read == ExtensionRead::kRead) loaded_[extension] = true;
    if (read == ExtensionRead::kRejected) damaged_.Note(extension);
    if (read == ExtensionRead::kLost) NoteLost(extension);
    if (read != ExtensionRead::kRead) MutableRecord(record).flags |= kPartial;
  }
  const Record* r = FindRecord(record);
  if (r != nullptr && (r->flags & (kInUse | kHasTimes)) == kInUse) NoteLost(record);
  if (r != nullptr && (r->flags & (kInUse | kHasTimes)) != kInUse && (r->flags & kDamaged))
    damaged_.Note(record);
  lost_.Sort();
  damaged_.Sort();
}

void NtfsVolume::ReachNeighbours(std::uint64_t record) {
  if (!lazy_ || !options_.name_times) return;
  for (int step : {-1, +1}) {
    FILETIME creation = 0;
    for (int i = 1; i <= kNeighbourReach; ++i) {
      const std::uint64_t at = Beside(record, step, i);
      if (at < kFirstFileRecord || at >= RecordLimit()) break;
      Load(at);
      if (FirstLifeNamed(at, step, &creation)) break;
    }
  }
}

std::uint32_t NtfsVolume::LookupInIndex(std::uint64_t folder, std::u16string_view name) {
  Load(folder);
  if (!IsFolder(folder)) return kNone;
  // The folder's index names the file; among names equal but for case, the
  // one written exactly so wins.
  struct Hit {
    std::uint64_t reference = kNone;
    std::vector<std::uint8_t> key;  // a copy: the entry's bytes go away
    std::u16string text;
  } exact, any;
  std::u16string text;
  // A name an index read in part does not give is looked for in the whole
  // MFT (LookupName reads it all).
  (void)ForEachIndexName(folder, [&](const FileNameEntry& entry) {
    entry.key.CopyText(&text);
    if (upcase_.Compare(text, name) != 0) return;
    // Names alike to the letter (on a damaged volume): the lowest record,
    // as a full read lists them.
    Hit& hit = text == name ? exact : any;
    if (hit.reference == kNone || RecordNumber(entry.reference) < RecordNumber(hit.reference))
      hit = {entry.reference,
             {entry.key.raw, entry.key.raw + kFileNameHeader + 2u * entry.key.length},
             text};
  });
  Hit& hit = exact.reference != kNone ? exact : any;
  if (hit.reference == kNone) return kNone;
  std::uint64_t file = RecordNumber(hit.reference);
  std::uint16_t sequence = SequenceNumber(hit.reference);
  Load(file);
  if (!InUse(file) || (sequence != 0 && sequence != FindRecord(file)->sequence)) return kNone;
  // The file's own attribute for that name, as a full read would list it;
  // the index's copy only where records were lost.
  NameBuffer buffer;
  for (std::uint32_t n = FindRecord(file)->first_name; n != kNone; n = names_[n].next)
    if (names_[n].parent == folder && NameText(n, buffer) == hit.text && IsParent(names_[n], false))
      return n;
  FileNameValue key;
  if (!NamesUnread(file) ||
      !DecodeFileName(hit.key.data(), static_cast<std::uint32_t>(hit.key.size()), &key) ||
      RecordNumber(key.parent) != folder)
    return kNone;
  return AddName(file, key);
}

}  // namespace qst
