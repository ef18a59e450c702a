#include "probe/witnesses/index-entries/index-entries.h"

#include <algorithm>
#include <map>
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

// The $FILE_NAME key at `key` (`available` bytes on) of an entry of
// `folder`, when its structure holds: into `out`, but for the reference.
bool CarveKey(const std::uint8_t* key, std::size_t available, std::uint64_t folder,
              FolderEntry* out) {
  if (available < kFileNameHeader) return false;
  const std::size_t key_length = FileNameLengthAt(key);
  if (key_length == 0 || key_length > available) return false;
  FileNameValue value;
  if (!DecodeFileName(key, static_cast<std::uint32_t>(key_length), &value) ||
      (folder != kAnyFolder && RecordNumber(value.parent) != folder))
    return false;
  out->parent = RecordNumber(value.parent);
  out->name.resize(value.length);
  for (std::size_t i = 0; i < value.length; ++i) {
    const char16_t unit = value.Unit(i);
    if (unit == 0 || unit == u'/') return false;
    out->name[i] = unit;
  }
  out->space = value.space;
  out->times = value.times;
  out->allocated = value.AllocatedSize();
  out->size = value.DataSize();
  out->slack = true;
  return true;
}

// The entry at `e` (`available` bytes on), when its structure holds.
bool CarveAt(const std::uint8_t* e, std::size_t available, std::uint64_t folder, FolderEntry* out) {
  if (available < kHeader + kFileNameHeader) return false;
  const std::size_t length = LoadLe16(e + kEntryLength);
  const std::size_t key_length = LoadLe16(e + kKeyLength);
  const std::uint16_t flags = LoadLe16(e + kFlags);
  if ((flags & ~kSubNode) != 0 || length > available || key_length != FileNameLengthAt(e + kHeader))
    return false;
  if (length != Aligned(kHeader + key_length) + ((flags & kSubNode) != 0 ? 8 : 0)) return false;
  if (!CarveKey(e + kHeader, key_length, folder, out)) return false;
  out->reference = LoadLe64(e);
  out->referenced = true;
  return true;
}

// Whether the 16 bytes at `e` are a node's end marker: no reference, a
// length of 16, no key, "last entry" (and maybe a sub-node, whose VCN then
// follows).
bool IsEndMarker(const std::uint8_t* e) {
  constexpr std::uint16_t kLast = 0x02;
  const std::uint16_t flags = LoadLe16(e + kFlags);
  return LoadLe64(e) == 0 && LoadLe16(e + kKeyLength) == 0 && (flags & kLast) != 0 &&
         (flags & ~(kLast | kSubNode)) == 0 &&
         LoadLe16(e + kEntryLength) == ((flags & kSubNode) != 0 ? kHeader + 8 : kHeader);
}

void AddFacts(std::uint64_t reference, const NtfsTimes& times, std::uint64_t allocated,
              std::uint64_t size, Facts* facts, bool referenced = true) {
  facts->Set(Fact::kIndexAccess, times.access);
  facts->Set(Fact::kIndexWrite, times.write);
  facts->Set(Fact::kIndexChange, times.change);
  facts->Set(Fact::kIndexCreation, times.creation);
  facts->Set(Fact::kIndexAllocated, allocated);
  facts->Set(Fact::kIndexSize, size);
  if (referenced) facts->Set(Fact::kIndexSequence, SequenceNumber(reference));
}

}  // namespace

void CarveFolderEntries(const std::uint8_t* data, std::size_t size, std::uint64_t folder,
                        std::vector<FolderEntry>* out, std::uint64_t records) {
  FolderEntry entry;
  for (std::size_t pos = 0; pos + kFileNameHeader <= size; pos += kAlign) {
    if (CarveAt(data + pos, size - pos, folder, &entry)) {
      if (SequenceNumber(entry.reference) != 0 && RecordNumber(entry.reference) < records)
        out->push_back(entry);
    } else if (pos >= kHeader && IsEndMarker(data + pos - kHeader) &&
               CarveKey(data + pos, size - pos, folder, &entry)) {
      // The last entry of a node removed: the end marker written over its
      // header, its key left whole after it; the reference is lost.
      entry.reference = 0;
      entry.referenced = false;
      out->push_back(entry);
    }
  }
}

void FolderIndex::AddLive(const FileNameEntry& entry) {
  const FileNameValue& key = entry.key;
  bool wide = false;
  for (std::size_t i = 0; i < key.length; ++i) wide |= key.Unit(i) > 0xFF;
  Kept k;
  k.reference = entry.reference;
  k.name = static_cast<std::uint32_t>(wide ? wide_.size() : narrow_.size());
  k.length = key.length;
  k.wide = wide;
  k.space = key.space;
  k.times = key.times;
  k.allocated = key.AllocatedSize();
  k.size = key.DataSize();
  for (std::size_t i = 0; i < key.length; ++i) {
    if (wide)
      wide_.push_back(key.Unit(i));
    else
      narrow_.push_back(static_cast<char>(key.Unit(i)));
  }
  live_.push_back(k);
}

bool FolderIndex::NameIs(const Kept& k, std::u16string_view name) const {
  if (name.size() != k.length) return false;
  if (k.wide) return std::u16string_view(wide_).substr(k.name, k.length) == name;
  for (std::size_t i = 0; i < k.length; ++i)
    if (static_cast<unsigned char>(narrow_[k.name + i]) != name[i]) return false;
  return true;
}

void FolderIndex::Seal() {
  order_.resize(live_.size());
  for (std::size_t i = 0; i < live_.size(); ++i) order_[i] = static_cast<std::uint32_t>(i);
  auto before = [&](std::uint32_t a, std::uint32_t b) {
    return live_[a].reference != live_[b].reference ? live_[a].reference < live_[b].reference
                                                    : a < b;
  };
  if (!std::is_sorted(order_.begin(), order_.end(), before))
    std::sort(order_.begin(), order_.end(), before);
}

const FolderIndex::Kept* FolderIndex::Find(std::uint64_t reference, std::u16string_view name,
                                           std::size_t* cursor) const {
  auto names = [&](std::size_t i) {
    const Kept& k = live_[order_[i]];
    return k.reference == reference && NameIs(k, name);
  };
  auto found = [&](std::size_t i) {
    if (cursor != nullptr) *cursor = i;
    return &live_[order_[i]];
  };
  // A file's names in one folder (a long one and its 8.3 alias) share it.
  if (cursor != nullptr)
    for (std::size_t i = *cursor; i < order_.size() && i < *cursor + 3; ++i)
      if (names(i)) return found(i);
  std::size_t i =
      static_cast<std::size_t>(std::lower_bound(order_.begin(), order_.end(), reference,
                                                [&](std::uint32_t at, std::uint64_t wanted) {
                                                  return live_[at].reference < wanted;
                                                }) -
                               order_.begin());
  for (; i < order_.size() && live_[order_[i]].reference == reference; ++i)
    if (names(i)) return found(i);
  return nullptr;
}

FolderEntry FolderIndex::Live(std::size_t i) const {
  const Kept& k = live_[i];
  FolderEntry e;
  e.reference = k.reference;
  if (k.wide) {
    e.name = wide_.substr(k.name, k.length);
  } else {
    e.name.resize(k.length);
    for (std::size_t u = 0; u < k.length; ++u)
      e.name[u] = static_cast<unsigned char>(narrow_[k.name + u]);
  }
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
  auto same = [](const Kept* live, const FolderEntry& e) {
    return live != nullptr && live->times == e.times && live->allocated == e.allocated &&
           live->size == e.size;
  };
  for (FolderEntry& e : carved) {
    if (same(Find(e.reference, e.name), e)) continue;
    // A key whose reference is lost is the live entry its name and times
    // are, whatever file that names.
    if (!e.referenced && same(FindKey(e), e)) continue;
    if (seen.insert(whole(e)).second) slack_.push_back(std::move(e));
  }
}

const FolderIndex::Kept* FolderIndex::FindKey(const FolderEntry& e) const {
  if (by_creation_.size() != live_.size()) {
    by_creation_.clear();
    by_creation_.reserve(live_.size());
    for (std::size_t i = 0; i < live_.size(); ++i)
      by_creation_.emplace_back(live_[i].times.creation, static_cast<std::uint32_t>(i));
    std::sort(by_creation_.begin(), by_creation_.end());
  }
  const FILETIME key = e.times.creation;
  auto it = std::lower_bound(by_creation_.begin(), by_creation_.end(),
                             std::pair<FILETIME, std::uint32_t>{key, 0});
  for (; it != by_creation_.end() && it->first == key; ++it)
    if (NameIs(live_[it->second], e.name)) return &live_[it->second];
  return nullptr;
}

void FolderIndex::Join(std::uint64_t record, std::uint16_t sequence, std::u16string_view name,
                       Facts* facts, std::size_t* cursor) const {
  const Kept* k = Find(FileReference(record, sequence), name, cursor);
  if (k == nullptr) return;
  AddFacts(k->reference, k->times, k->allocated, k->size, facts);
  facts->Set(Fact::kIndexReused, 0);  // it names this very file
}

void AddEntryFacts(const FolderEntry& entry, Facts* facts) {
  AddFacts(entry.reference, entry.times, entry.allocated, entry.size, facts, entry.referenced);
}

bool IndexBlockOwners::Claim(std::uint64_t place, std::uint64_t folder, bool live) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto [it, fresh] = blocks_.try_emplace(place, Block{kUnread, folder, live});
  if (fresh) return true;
  Block& b = it->second;
  if (live && !b.first_live) {
    b.first = folder;
    b.first_live = true;
  } else if (live && b.first != folder && !b.shared) {
    b.shared = true;
    ++shared_;
  }
  // A block being read for another folder is read again rather than
  // waited for: each reading takes only its own folder's entries.
  return b.owner == kUnread || b.owner == kSeveral || b.owner == folder;
}

void IndexBlockOwners::Settle(std::uint64_t place, std::uint64_t owner) {
  std::lock_guard<std::mutex> lock(mutex_);
  blocks_[place].owner = owner;
}

std::uint64_t IndexBlockOwners::shared() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return shared_;
}

}  // namespace qst
