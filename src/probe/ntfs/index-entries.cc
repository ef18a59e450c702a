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

auto Key(const FolderEntry& e) { return std::tie(e.reference, e.name); }

}  // namespace

void CarveFolderEntries(const std::uint8_t* data, std::size_t size, std::uint64_t folder,
                        std::vector<FolderEntry>* out) {
  FolderEntry entry;
  for (std::size_t pos = 0; pos + kHeader + kFileNameHeader <= size; pos += kAlign)
    if (CarveAt(data + pos, size - pos, folder, &entry)) out->push_back(entry);
}

void FolderIndex::AddLive(const FileNameEntry& entry) {
  FolderEntry e;
  e.reference = entry.reference;
  entry.key.CopyText(&e.name);
  e.space = entry.key.space;
  e.times = entry.key.times;
  e.allocated = entry.key.AllocatedSize();
  e.size = entry.key.DataSize();
  live_.push_back(std::move(e));
}

void FolderIndex::AddSlack(std::vector<FolderEntry> carved) {
  auto whole = [](const FolderEntry& e) {
    return std::make_tuple(e.reference, e.name, e.times.creation, e.times.write, e.times.change,
                           e.times.access, e.allocated, e.size);
  };
  std::set<decltype(whole(FolderEntry{}))> seen;
  for (const FolderEntry& e : slack_) seen.insert(whole(e));
  for (FolderEntry& e : carved) {
    auto [first, last] = std::equal_range(
        live_.begin(), live_.end(), e,
        [](const FolderEntry& a, const FolderEntry& b) { return Key(a) < Key(b); });
    if (std::any_of(first, last, [&](const FolderEntry& l) { return whole(l) == whole(e); }))
      continue;
    if (seen.insert(whole(e)).second) slack_.push_back(std::move(e));
  }
}

void FolderIndex::Seal() {
  std::stable_sort(live_.begin(), live_.end(),
                   [](const FolderEntry& a, const FolderEntry& b) { return Key(a) < Key(b); });
}

const FolderEntry* FolderIndex::Find(std::uint64_t record, std::uint16_t sequence,
                                     std::u16string_view name) const {
  FolderEntry wanted;
  wanted.reference = FileReference(record, sequence);
  wanted.name = name;
  auto it =
      std::lower_bound(live_.begin(), live_.end(), wanted,
                       [](const FolderEntry& a, const FolderEntry& b) { return Key(a) < Key(b); });
  return it != live_.end() && Key(*it) == Key(wanted) ? &*it : nullptr;
}

void FolderIndex::Join(std::uint64_t record, std::uint16_t sequence, std::u16string_view name,
                       Facts* facts) const {
  if (const FolderEntry* entry = Find(record, sequence, name)) {
    AddEntryFacts(*entry, facts);
    facts->Set(Fact::kIndexReused, 0);  // it names this very file
  }
}

void AddEntryFacts(const FolderEntry& entry, Facts* facts) {
  facts->Set(Fact::kIndexAccess, entry.times.access);
  facts->Set(Fact::kIndexWrite, entry.times.write);
  facts->Set(Fact::kIndexChange, entry.times.change);
  facts->Set(Fact::kIndexCreation, entry.times.creation);
  facts->Set(Fact::kIndexAllocated, entry.allocated);
  facts->Set(Fact::kIndexSize, entry.size);
  facts->Set(Fact::kIndexSequence, SequenceNumber(entry.reference));
}

}  // namespace qst
