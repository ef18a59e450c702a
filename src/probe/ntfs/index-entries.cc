#include "probe/ntfs/index-entries.h"

#include <algorithm>
#include <set>
#include <tuple>

#include "probe/le.h"
#include "probe/ntfs/mft-record.h"

namespace qst {
namespace {

constexpr std::size_t kHeader = 0x10;  // an entry's header, before its key
constexpr std::size_t kEntryLength = 0x08;
constexpr std::size_t kKeyLength = 0x0A;
constexpr std::size_t kFlags = 0x0C;
constexpr std::uint16_t kSubNode = 0x01;
constexpr std::size_t kAlign = 8;

constexpr std::size_t Aligned(std::size_t n) { return (n + kAlign - 1) / kAlign * kAlign; }

// The entry at `e` (`available` bytes on), when its structure holds.
bool CarveAt(const std::uint8_t* e, std::size_t available, std::uint64_t folder, FolderEntry* out) {
  if (available < kHeader + kFileNameHeader) return false;
  const std::size_t length = LoadLe16(e + kEntryLength);
  const std::size_t key_length = LoadLe16(e + kKeyLength);
  const std::uint16_t flags = LoadLe16(e + kFlags);
  if ((flags & ~kSubNode) != 0 || length > available || key_length < kFileNameHeader) return false;
  const std::uint8_t* key = e + kHeader;
  const std::size_t units = key[0x40];
  if (units == 0 || key_length != kFileNameHeader + 2 * units || key[0x41] > kWin32AndDosName)
    return false;
  if (length != Aligned(kHeader + key_length) + ((flags & kSubNode) != 0 ? 8 : 0)) return false;
  FileNameValue value;
  if (!DecodeFileName(key, static_cast<std::uint32_t>(key_length), &value) ||
      RecordNumber(value.parent) != folder)
    return false;
  out->name.resize(units);
  for (std::size_t i = 0; i < units; ++i) {
    const char16_t unit = value.Unit(i);
    if (unit == 0 || unit == u'/') return false;
    out->name[i] = unit;
  }
  out->reference = LoadLe64(e);
  out->space = value.space;
  out->times = value.times;
  out->allocated = value.AllocatedSize();
  out->size = value.DataSize();
  out->slack = true;
  return true;
}

void AddFacts(std::uint64_t reference, const NtfsTimes& times, std::uint64_t allocated,
              std::uint64_t size, Facts* facts) {
  facts->Set(Fact::kIndexAccess, times.access);
  facts->Set(Fact::kIndexWrite, times.write);
  facts->Set(Fact::kIndexChange, times.change);
  facts->Set(Fact::kIndexCreation, times.creation);
  facts->Set(Fact::kIndexAllocated, allocated);
  facts->Set(Fact::kIndexSize, size);
  facts->Set(Fact::kIndexSequence, SequenceNumber(reference));
}

}  // namespace

void CarveFolderEntries(const std::uint8_t* data, std::size_t size, std::uint64_t folder,
                        std::vector<FolderEntry>* out) {
  FolderEntry entry;
  for (std::size_t pos = 0; pos + kHeader + kFileNameHeader <= size; pos += kAlign)
    if (CarveAt(data + pos, size - pos, folder, &entry)) out->push_back(entry);
}

void FolderIndex::AddLive(const FileNameEntry& entry) {
  const FileNameValue& key = entry.key;
  Kept k;
  k.reference = entry.reference;
  k.name = static_cast<std::uint32_t>(names_.size());
  k.length = key.length;
  k.space = key.space;
  k.times = key.times;
  k.allocated = key.AllocatedSize();
  k.size = key.DataSize();
  names_.resize(names_.size() + key.length);
  char16_t* name = names_.data() + k.name;
  for (std::size_t i = 0; i < key.length; ++i) name[i] = key.Unit(i);
  live_.push_back(k);
}

void FolderIndex::Seal() {
  auto by_reference = [](const Kept& a, const Kept& b) { return a.reference < b.reference; };
  if (!std::is_sorted(live_.begin(), live_.end(), by_reference))
    std::stable_sort(live_.begin(), live_.end(), by_reference);
}

const FolderIndex::Kept* FolderIndex::Find(std::uint64_t reference, std::u16string_view name,
                                           std::size_t* cursor) const {
  auto match = [&](std::size_t i) {
    if (cursor != nullptr) *cursor = i;
    return &live_[i];
  };
  // A file's names in one folder (a long one and its 8.3 alias) share it.
  if (cursor != nullptr)
    for (std::size_t i = *cursor; i < live_.size() && i < *cursor + 3; ++i)
      if (live_[i].reference == reference && NameIs(live_[i], name)) return match(i);
  auto it =
      std::lower_bound(live_.begin(), live_.end(), reference,
                       [](const Kept& k, std::uint64_t wanted) { return k.reference < wanted; });
  for (; it != live_.end() && it->reference == reference; ++it)
    if (NameIs(*it, name)) return match(static_cast<std::size_t>(it - live_.begin()));
  return nullptr;
}

FolderEntry FolderIndex::Live(std::size_t i) const {
  const Kept& k = live_[i];
  FolderEntry e;
  e.reference = k.reference;
  e.name = names_.substr(k.name, k.length);
  e.space = k.space;
  e.times = k.times;
  e.allocated = k.allocated;
  e.size = k.size;
  return e;
}

void FolderIndex::AddSlack(std::vector<FolderEntry> carved) {
  auto whole = [](const FolderEntry& e) {
    return std::make_tuple(e.reference, e.name, e.times.creation, e.times.write, e.times.change,
                           e.times.access, e.allocated, e.size);
  };
  std::set<decltype(whole(FolderEntry{}))> seen;
  for (const FolderEntry& e : slack_) seen.insert(whole(e));
  for (FolderEntry& e : carved) {
    const Kept* live = Find(e.reference, e.name);
    if (live != nullptr && live->times == e.times && live->allocated == e.allocated &&
        live->size == e.size)
      continue;
    if (seen.insert(whole(e)).second) slack_.push_back(std::move(e));
  }
}

void FolderIndex::Join(std::uint64_t record, std::uint16_t sequence, std::u16string_view name,
                       Facts* facts, std::size_t* cursor) const {
  const Kept* k = Find(FileReference(record, sequence), name, cursor);
  if (k == nullptr) return;
  AddFacts(k->reference, k->times, k->allocated, k->size, facts);
  facts->Set(Fact::kIndexReused, 0);  // it names this very file
}

void AddEntryFacts(const FolderEntry& entry, Facts* facts) {
  AddFacts(entry.reference, entry.times, entry.allocated, entry.size, facts);
}

}  // namespace qst
