// The folder tree of a volume read whole: each folder's listed names in
// collation order, deleted names apart, 8.3 aliases apart, and the orphans.
#include <algorithm>
#include <type_traits>

#include "probe/ntfs/ntfs-volume.h"

namespace qst {
namespace {

// Records below this one belong to the file system itself; the root's
// listing leaves them out.
constexpr std::uint64_t kFirstUserRecord = 16;

}  // namespace

void NtfsVolume::BuildFolders() {
  // Listed names go to their folders in two passes over the names: one
  // counts, one places.
  child_start_.assign(records_.size() + 1, 0);
  auto listed_in = [&](std::uint32_t i) -> std::uint64_t {
    const NameStore::Name& n = names_[i];
    bool deleted = Deleted(n.record);
    if (n.space == kDosName || deleted || !IsParent(n, deleted)) return kNone;
    return n.parent;
  };
  for (std::uint32_t i = 0; i < names_.size(); ++i)
    if (std::uint64_t parent = listed_in(i); parent != kNone) ++child_start_[parent + 1];
  for (std::size_t r = 0; r < records_.size(); ++r) child_start_[r + 1] += child_start_[r];
  child_names_.resize(child_start_.back());
  std::vector<std::uint32_t> fill(child_start_.begin(), child_start_.end() - 1);
  for (std::uint32_t i = 0; i < names_.size(); ++i) {
    const NameStore::Name& n = names_[i];
    if (std::uint64_t parent = listed_in(i); parent != kNone) {
      child_names_[fill[parent]++] = i;
      continue;
    }
    bool deleted = Deleted(n.record);
    if (!IsParent(n, deleted)) {
      // A deleted file whose folder is gone is listed under the orphans.
      if (deleted && n.space != kDosName && n.parent != n.record) orphans_.push_back(i);
      continue;
    }
    // An 8.3 alias opens its file but is never listed.
    if (n.space == kDosName)
      short_names_[n.parent].push_back(i);
    else
      deleted_children_[n.parent].push_back(i);
  }
  std::vector<std::uint32_t>().swap(fill);
  std::vector<std::pair<std::uint64_t, std::uint32_t>> keyed;
  for (std::size_t r = 0; r < records_.size(); ++r)
    SortByCollation(child_names_.begin() + child_start_[r],
                    child_names_.begin() + child_start_[r + 1], &keyed);
  for (auto& [folder, list] : short_names_) SortByCollation(list.begin(), list.end(), &keyed);
  for (auto& [folder, list] : deleted_children_) SortByCollation(list.begin(), list.end(), &keyed);
  SortByCollation(orphans_.begin(), orphans_.end(), &keyed);
  // The root lists no system files; they stay reachable by name.
  for (std::uint32_t name : ListedChildren(kRootRecord))
    if (names_[name].record >= kFirstUserRecord) root_listing_.push_back(name);
}

void NtfsVolume::SortByCollation(
    std::vector<std::uint32_t>::iterator first, std::vector<std::uint32_t>::iterator last,
    std::vector<std::pair<std::uint64_t, std::uint32_t>>* keyed) const {
  // Sorted on the first four upper-cased units of each name, packed so that
  // integers order as names do (most comparisons end there), kept beside the
  // names for the one list being sorted.
  if (last - first < 2) return;
  keyed->clear();
  for (auto it = first; it != last; ++it) {
    std::u16string_view text = NameText(*it);
    std::uint64_t key = 0;
    for (std::size_t k = 0; k < 4; ++k) key = key << 16 | (k < text.size() ? upcase_(text[k]) : 0);
    keyed->emplace_back(key, *it);
  }
  std::sort(keyed->begin(), keyed->end(), [&](const auto& x, const auto& y) {
    if (x.first != y.first) return x.first < y.first;
    std::u16string_view a = NameText(x.second), b = NameText(y.second);
    int c = upcase_.Compare(a, b);
    return c != 0 ? c < 0 : a < b;
  });
  for (const auto& [key, name] : *keyed) *first++ = name;
}

bool NtfsVolume::IsParent(const NameStore::Name& n, bool deleted) const {
  const Record* found = n.parent == n.record ? nullptr : FindRecord(n.parent);
  if (found == nullptr) return false;
  const Record& parent = *found;
  if ((parent.flags & kFolder) == 0) return false;
  if (parent.flags & kInUse) {
    // A folder record since reused for another folder is not the parent.
    return n.parent_sequence == 0 || n.parent_sequence == parent.sequence;
  }
  // Only a deleted name may stand in a deleted folder, whose sequence number
  // went up by one when it was deleted.
  return deleted && (parent.flags & kDeleted) &&
         (n.parent_sequence == parent.sequence ||
          static_cast<std::uint16_t>(n.parent_sequence + 1) == parent.sequence);
}

std::span<const std::uint32_t> NtfsVolume::ListedChildren(std::uint64_t folder) const {
  if (folder + 1 >= child_start_.size()) return {};
  return std::span<const std::uint32_t>(child_names_)
      .subspan(child_start_[folder], child_start_[folder + 1] - child_start_[folder]);
}

std::span<const std::uint32_t> NtfsVolume::Children(std::uint64_t folder) {
  if (lazy_) ReadAll();
  return folder == kRootRecord ? std::span<const std::uint32_t>(root_listing_)
                               : ListedChildren(folder);
}

std::span<const std::uint32_t> NtfsVolume::DeletedChildren(std::uint64_t folder) {
  if (lazy_) ReadAll();
  if (folder == kOrphanFolder) return orphans_;
  auto it = deleted_children_.find(folder);
  if (it == deleted_children_.end()) return {};
  return it->second;
}

std::uint32_t NtfsVolume::Find(std::span<const std::uint32_t> list,
                               std::u16string_view name) const {
  auto [first, last] = std::equal_range(list.begin(), list.end(), name, [&](auto x, auto y) {
    auto text = [&](auto v) {
      if constexpr (std::is_same_v<decltype(v), std::u16string_view>)
        return v;
      else
        return NameText(v);
    };
    return upcase_.Compare(text(x), text(y)) < 0;
  });
  if (first == last) return kNone;
  // Among names equal but for case, the one written exactly so wins; the
  // run is sorted by the exact text too.
  auto exact = std::lower_bound(first, last, name, [&](std::uint32_t x, std::u16string_view key) {
    return NameText(x) < key;
  });
  if (exact != last && NameText(*exact) == name) return *exact;
  return *first;
}

std::uint32_t NtfsVolume::LookupName(std::uint64_t folder, std::u16string_view name) {
  if (lazy_) {
    std::uint32_t found = LookupInIndex(folder, name);
    if (found != kNone) return found;
    // What an index does not give (one beyond reach, or damaged), the whole
    // MFT may still hold: read it all, once, and look again.
    ReadAll();
  }
  std::uint32_t found = Find(ListedChildren(folder), name);
  if (found != kNone) return found;
  if (auto aliases = short_names_.find(folder); aliases != short_names_.end())
    found = Find(aliases->second, name);
  return found != kNone ? found : Find(DeletedChildren(folder), name);
}

std::uint64_t NtfsVolume::Lookup(std::uint64_t folder, std::u16string_view name) {
  std::uint32_t found = LookupName(folder, name);
  return found == kNone ? kNone : names_.RecordOf(found);
}

}  // namespace qst
