// The folder tree of a volume read whole: each folder's listed names in
// collation order, deleted names apart, 8.3 aliases apart, and the orphans.
#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <type_traits>

#include "probe/ntfs/ntfs-volume.h"

namespace qst {
namespace {

// Records below this one belong to the file system itself; the root's
// listing leaves them out.
constexpr std::uint64_t kFirstUserRecord = 16;
// Fewer names than this are sorted on one thread.
constexpr std::size_t kNamesToShare = 1 << 16;
// Stretches of folders to sort, for each thread that sorts.
constexpr std::size_t kStretchesPerThread = 16;

}  // namespace

bool NtfsVolume::IsAlias(std::uint32_t name) const {
  // An 8.3 name is an alias when its file has a long name in the same
  // folder; a file with a DOS name alone is listed under it.
  const NameStore::Name& n = names_[name];
  if (n.space != kDosName) return false;
  for (std::uint32_t other = FindRecord(n.record)->first_name; other != kNone;
       other = names_[other].next)
    if (names_[other].space != kDosName && names_[other].parent == n.parent) return true;
  return false;
}

void NtfsVolume::BuildFolders() {
  // Where each name is listed: in the folder its parent reference names
  // when that holds, else in the folder whose index holds it, else among the
  // orphans; the root's own names and 8.3 aliases nowhere.
  std::vector<std::uint32_t> place, folders, misplaced;
  PlaceNames(&place, &folders, &misplaced);
  misplaced_ = misplaced.size();
  // Where records were lost or read in part, the folders' indexes may still
  // name files whose own names went with them.
  if (!misplaced.empty() || lost_.count() != 0 || damaged_.count() != 0) {
    std::unordered_map<std::uint32_t, std::uint64_t> indexed_in;
    ReadIndexNames(misplaced, &indexed_in);
    // The indexes may have added names and records: all are placed again.
    PlaceNames(&place, &folders, nullptr);
    for (const auto& [name, folder] : indexed_in) {
      if (place[name] != kOrphans) continue;
      place[name] = static_cast<std::uint32_t>(folder);
      if (!Deleted(names_[name].record)) ++child_start_[folder + 1];
    }
  }
  std::vector<std::uint32_t>().swap(misplaced);
  cycles_ = BreakCycles(folders, &place);
  std::vector<std::uint32_t>().swap(folders);

  // Listed names go to their folders, counted as they were placed: each
  // folder's start, once summed, serves as the place of its next name, and
  // ends where the next folder starts.
  for (std::size_t r = 0; r < records_.size(); ++r) child_start_[r + 1] += child_start_[r];
  child_names_.resize(child_start_.back());
  for (std::uint32_t i = 0; i < names_.size(); ++i) {
    if (place[i] == kUnlisted) continue;
    if (place[i] == kOrphans)
      orphans_.push_back(i);
    else if (Deleted(names_[i].record))
      deleted_children_[place[i]].push_back(i);
    else
      child_names_[child_start_[place[i]]++] = i;
  }
  std::copy_backward(child_start_.begin(), child_start_.end() - 1, child_start_.end());
  child_start_[0] = 0;
  std::vector<std::uint32_t>().swap(place);
  SortFolders();
  std::vector<CollationKey> keyed;
  for (auto& [folder, list] : short_names_) SortByCollation(list.begin(), list.end(), &keyed);
  for (auto& [folder, list] : deleted_children_) SortByCollation(list.begin(), list.end(), &keyed);
  SortByCollation(orphans_.begin(), orphans_.end(), &keyed);
  // The root lists no system files; they stay reachable by name.
  for (std::uint32_t name : ListedChildren(kRootRecord))
    if (names_[name].record >= kFirstUserRecord) root_listing_.push_back(name);
  NameOrphanFolder();
}

void NtfsVolume::PlaceNames(std::vector<std::uint32_t>* place, std::vector<std::uint32_t>* folders,
                            std::vector<std::uint32_t>* misplaced) {
  // One pass over the names: where each goes by its parent reference, the
  // live names each folder lists counted at child_start_[folder + 1], the
  // names of folders that are listed somewhere, and the names in use whose
  // parent fails.
  place->assign(names_.size(), kUnlisted);
  folders->clear();
  short_names_.clear();
  child_start_.assign(records_.size() + 1, 0);
  for (std::uint32_t i = 0; i < names_.size(); ++i) {
    const NameStore::Name& n = names_[i];
    if (n.record == kRootRecord) continue;
    const Record* r = FindRecord(n.record);
    const bool deleted = r != nullptr && (r->flags & kDeleted) != 0;
    const bool in_use = r != nullptr && (r->flags & kInUse) != 0;
    const bool parent_holds = IsParent(n, deleted);
    const bool alias = IsAlias(i);
    if (misplaced != nullptr && in_use && !alias && !(deleted ? IsParent(n, false) : parent_holds))
      misplaced->push_back(i);
    if (alias) {
      // An 8.3 alias opens its file but is never listed.
      if (parent_holds) short_names_[n.parent].push_back(i);
      continue;
    }
    if (parent_holds) {
      (*place)[i] = n.parent;
      if (!deleted) ++child_start_[n.parent + 1];
    } else {
      (*place)[i] = kOrphans;
    }
    if (r != nullptr && (in_use || deleted) && (r->flags & kFolder) != 0) folders->push_back(i);
  }
}

void NtfsVolume::SortFolders() {
  // The folders fall into stretches of records holding about as many names
  // each, taken in turn by a few threads until none is left: each folder's
  // list is its own, and a thread that drew cheap stretches takes more.
  unsigned threads = options_.threads > 0 ? static_cast<unsigned>(options_.threads)
                                          : std::min(std::thread::hardware_concurrency(), 8u);
  if (child_names_.size() < kNamesToShare) threads = 1;
  threads = std::max(threads, 1u);
  const std::size_t stretches = threads == 1 ? 1 : threads * kStretchesPerThread;
  std::vector<std::size_t> bounds(1, 0);
  for (std::size_t k = 1; k < stretches; ++k) {
    const std::uint64_t share = child_names_.size() * k / stretches;
    bounds.push_back(static_cast<std::size_t>(
        std::upper_bound(child_start_.begin() + bounds.back(), child_start_.end() - 1, share) -
        child_start_.begin()));
  }
  bounds.push_back(records_.size());
  std::atomic<std::size_t> next{0};
  auto sort_stretches = [&] {
    std::vector<CollationKey> keyed;
    for (std::size_t k; (k = next.fetch_add(1)) < stretches;)
      for (std::size_t r = bounds[k]; r < bounds[k + 1]; ++r)
        SortByCollation(child_names_.begin() + child_start_[r],
                        child_names_.begin() + child_start_[r + 1], &keyed);
  };
  std::vector<std::thread> helpers;
  for (unsigned t = 1; t < threads; ++t) helpers.emplace_back(sort_stretches);
  sort_stretches();
  for (std::thread& helper : helpers) helper.join();
}

namespace {

using Links = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

// Goes up the first names from the folder `start` (`by_child`: each
// folder's names, sorted; `place`: the folder of each name) until a folder
// comes round again, which it returns, or a folder without a name ends the
// way (NtfsVolume::kNone). `path` holds the folders passed, each marked in
// `on_path`.
std::uint32_t WalkUp(std::uint32_t start, const Links& by_child,
                     const std::vector<std::uint32_t>& place, std::vector<bool>* on_path,
                     std::vector<std::uint32_t>* path) {
  path->clear();
  std::uint32_t f = start;
  while (!(*on_path)[f]) {
    (*on_path)[f] = true;
    path->push_back(f);
    auto first = std::lower_bound(by_child.begin(), by_child.end(), std::pair{f, 0u});
    if (first == by_child.end() || first->first != f) {
      (*on_path)[f] = false;
      path->pop_back();
      return NtfsVolume::kNone;
    }
    f = place[first->second];
  }
  return f;
}

}  // namespace

std::uint64_t NtfsVolume::BreakCycles(const std::vector<std::uint32_t>& folders,
                                      std::vector<std::uint32_t>* place) {
  // Folders reached from the root or the orphans. One that is not reached
  // lies in, or below, a cycle of folders each listed in the next: the
  // lowest-numbered folder of the cycle goes to the orphans, so that the
  // cycle and all below it are listed there.
  Links by_parent, by_child;
  for (std::uint32_t i : folders) {
    std::uint32_t record = names_[i].record;
    by_parent.emplace_back((*place)[i], record);
    by_child.emplace_back(record, i);
  }
  std::sort(by_parent.begin(), by_parent.end());
  std::sort(by_child.begin(), by_child.end());
  std::vector<bool> reached(records_.size());
  std::vector<std::uint32_t> stack;
  auto reach_from = [&](std::uint32_t folder) {
    stack.assign(1, folder);
    while (!stack.empty()) {
      std::uint32_t f = stack.back();
      stack.pop_back();
      for (auto it = std::lower_bound(by_parent.begin(), by_parent.end(), std::pair{f, 0u});
           it != by_parent.end() && it->first == f; ++it)
        if (!reached[it->second]) {
          reached[it->second] = true;
          stack.push_back(it->second);
        }
    }
  };
  reached[kRootRecord] = true;
  reach_from(kRootRecord);
  reach_from(kOrphans);
  std::uint64_t cycles = 0;
  std::vector<bool> on_path(records_.size());
  std::vector<std::uint32_t> path;
  for (const auto& [start, unused] : by_child) {
    if (reached[start]) continue;
    const std::uint32_t f = WalkUp(start, by_child, *place, &on_path, &path);
    for (std::uint32_t p : path) on_path[p] = false;
    // A folder without a name ends the path: the folder below it goes.
    std::uint32_t moved = path.back();
    if (f != kNone) {
      moved = *std::min_element(std::find(path.begin(), path.end(), f), path.end());
      ++cycles;
    } else {
      ++misplaced_;
    }
    auto name = std::lower_bound(by_child.begin(), by_child.end(), std::pair{moved, 0u});
    std::uint32_t& moved_from = (*place)[name->second];
    if (moved_from < kOrphans && !Deleted(moved)) --child_start_[moved_from + 1];
    moved_from = kOrphans;
    reached[moved] = true;
    reach_from(moved);
  }
  return cycles;
}

void NtfsVolume::NameOrphanFolder() {
  // Any entry of the root, listed or not, takes the name from the made-up
  // folder.
  auto taken = [&](std::u16string_view name) {
    auto aliases = short_names_.find(kRootRecord);
    auto deleted = deleted_children_.find(kRootRecord);
    return Find(ListedChildren(kRootRecord), name) != kNone ||
           (aliases != short_names_.end() && Find(aliases->second, name) != kNone) ||
           (deleted != deleted_children_.end() && Find(deleted->second, name) != kNone);
  };
  std::u16string name = u"$Orphan";
  for (int n = 1; taken(name); ++n) {
    name = u"$Orphan-";
    for (char c : std::to_string(n)) name += static_cast<char16_t>(c);
  }
  orphan_name_ = name;
}

void NtfsVolume::SortByCollation(std::vector<std::uint32_t>::iterator first,
                                 std::vector<std::uint32_t>::iterator last,
                                 std::vector<CollationKey>* keyed) const {
  // Sorted on the first eight upper-cased units of each name (most
  // comparisons end there, even among names such as file-0001 ...), kept
  // beside the names for the one list being sorted; past them, names are
  // compared from where the keys left off.
  if (last - first < 2) return;
  keyed->clear();
  for (auto it = first; it != last; ++it) {
    std::uint64_t key[2] = {};
    names_.Visit(*it, [&](auto text) {
      for (std::size_t k = 0; k < 8; ++k)
        key[k / 4] = key[k / 4] << 16 | (k < text.size() ? upcase_(UpcaseTable::Unit(text[k])) : 0);
    });
    keyed->push_back({key[0], key[1], *it});
  }
  // Past the keys, names are compared as they are kept, without widening.
  auto compare = [&](std::uint32_t x, std::uint32_t y) {
    return names_.Visit(x, [&](auto a) {
      return names_.Visit(y, [&](auto b) {
        // The units both keys hold are equal.
        std::size_t same = std::min<std::size_t>({8, a.size(), b.size()});
        if (int c = upcase_.CompareUnits(a.substr(same), b.substr(same)); c != 0) return c;
        // Names alike to the letter (on a damaged volume) by their exact
        // units, then by record number.
        for (std::size_t i = 0; i < a.size(); ++i) {
          char16_t p = UpcaseTable::Unit(a[i]), q = UpcaseTable::Unit(b[i]);
          if (p != q) return p < q ? -1 : 1;
        }
        return 0;
      });
    });
  };
  std::sort(keyed->begin(), keyed->end(), [&](const CollationKey& x, const CollationKey& y) {
    if (x.high != y.high) return x.high < y.high;
    if (x.low != y.low) return x.low < y.low;
    if (int c = compare(x.name, y.name); c != 0) return c < 0;
    return std::pair(names_[x.name].record, x.name) < std::pair(names_[y.name].record, y.name);
  });
  for (const CollationKey& k : *keyed) *first++ = k.name;
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
  if (folder == kOrphanFolder) return orphans_;
  return folder == kRootRecord ? std::span<const std::uint32_t>(root_listing_)
                               : ListedChildren(folder);
}

std::span<const std::uint32_t> NtfsVolume::DeletedChildren(std::uint64_t folder) {
  if (lazy_) ReadAll();
  auto it = deleted_children_.find(folder);
  if (it == deleted_children_.end()) return {};
  return it->second;
}

bool NtfsVolume::FolderPlace(std::uint64_t folder, std::uint16_t sequence, std::u16string* name,
                             std::uint64_t* parent) const {
  if (lazy_ || !InUse(folder) || !IsFolder(folder) ||
      (sequence != 0 && SequenceOf(folder) != sequence))
    return false;
  std::uint32_t n = FindRecord(folder)->first_name;
  while (n != kNone && (IsAlias(n) || !IsParent(names_[n], false))) n = names_[n].next;
  if (n == kNone) return false;
  NameBuffer buffer;
  name->assign(NameText(n, buffer));
  *parent = names_[n].parent | std::uint64_t{names_[n].parent_sequence} << 48;
  return true;
}

std::uint32_t NtfsVolume::Find(std::span<const std::uint32_t> list,
                               std::u16string_view name) const {
  NameBuffer buffer;
  auto [first, last] = std::equal_range(list.begin(), list.end(), name, [&](auto x, auto y) {
    auto text = [&](auto v) {
      if constexpr (std::is_same_v<decltype(v), std::u16string_view>)
        return v;
      else
        return NameText(v, buffer);
    };
    return upcase_.Compare(text(x), text(y)) < 0;
  });
  if (first == last) return kNone;
  // Among names equal but for case, the one written exactly so wins; the
  // run is sorted by the exact text too.
  auto exact = std::lower_bound(first, last, name, [&](std::uint32_t x, std::u16string_view key) {
    return NameText(x, buffer) < key;
  });
  if (exact != last && NameText(*exact, buffer) == name) return *exact;
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
  if (folder == kOrphanFolder) return Find(orphans_, name);
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
