#include "cli/walk.h"

#include <algorithm>
#include <deque>
#include <future>
#include <optional>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "cli/probe-pool.h"
#include "cli/render-pool.h"
#include "cli/report.h"
#include "probe/wildcard.h"

namespace qst {
namespace {

bool IsDotOrDotDot(const std::string& name) { return name == "." || name == ".."; }

// The probes kept in flight below a folder, as -j or the platform says:
// `ahead` entries are taken before they are printed, and `pool` probes them
// meanwhile when there is more than one thread. Where the platform answers
// from memory, `render` builds and prints whole batches of entries on its
// threads instead.
struct ProbesAhead {
  ProbesAhead(const std::string& folder, Context& context) {
    if (context.platform->ProbesFromMemory()) {
      int threads = context.options.jobs > 0
                        ? context.options.jobs
                        : static_cast<int>(std::min(std::thread::hardware_concurrency(), 8u));
      if (threads > 1) render.emplace(context, threads);
      return;
    }
    int threads =
        context.options.jobs > 0 ? context.options.jobs : context.platform->ProbeThreads(folder);
    if (threads <= 1) return;
    pool.emplace(*context.platform, threads, context.options.time_form(), context.options.fields());
    ahead = 4 * static_cast<std::size_t>(threads);
  }
  // Prints what was handed over so far: before anything else is written.
  void Drain() {
    if (render) render->Drain();
  }

  std::optional<ProbePool> pool;
  std::optional<RenderPool> render;
  std::size_t ahead = 1;  // one at a time: each entry probed just before it is printed
};

// An entry of a search, taken ahead of being printed; a pool may be probing
// it meanwhile.
struct Pending {
  std::string path;
  DirEntry entry;
  bool too_long = false;
  std::future<FileTimestampRecord> record;
};

// Takes entries of `search` until `ahead` of them wait in `pending`, "." and
// ".." passed over; entries are joined to `directory`. Files go straight to
// the threads that print batches, where there are. False once the search
// has no more.
bool TakeAhead(DirSearch& search, const std::string& directory, ProbesAhead& probes,
               Context& context, std::deque<Pending>* pending) {
  const char sep = context.platform->Separator();
  DirEntry entry;
  while (pending->size() < probes.ahead) {
    if (!search.Next(&entry)) return false;
    // The listing's own "." and ".."; a name a volume holds (it carries its
    // record) is listed whatever it is.
    if (entry.folder && IsDotOrDotDot(entry.name) && entry.hint.record == SearchHint::kNoRecord)
      continue;
    // Taken one at a time: nothing waits before it.
    if (probes.render && !entry.folder && directory.size() + entry.name.size() <= kMaxPath) {
      probes.render->Add(directory, entry);
      continue;
    }
    Pending p;
    p.path.assign(directory).append(entry.name);
    if (entry.folder) p.path += sep;
    p.too_long = p.path.size() > kMaxPath;
    if (probes.pool && !entry.made_up && !p.too_long) p.record = probes.pool->Probe(p.path, entry);
    p.entry = std::move(entry);
    pending->push_back(std::move(p));
  }
  return true;
}

// Prints the record of a pending entry, probing it now when no pool did.
FileIdentity ProcessPending(Pending& p, Context& context) {
  if (!p.record.valid()) return ProcessFile(p.path, context, &p.entry);
  FileTimestampRecord record = p.record.get();
  record.path = p.path;
  for (FileTimestampRecord& state : record.states) state.path = p.path;
  return PrintRecord(record, context);
}

// The same, through the threads that print batches where there are: probed
// here (a folder, for the walk to know which it is), printed in its turn.
FileIdentity ProcessPending(Pending& p, ProbesAhead& probes, Context& context) {
  if (!probes.render) return ProcessPending(p, context);
  FileTimestampRecord record = ProbeRecord(*context.platform, p.path, context.options.time_form(),
                                           context.options.fields(), &p.entry);
  probes.render->Add(record);
  return record.identity;
}

// One open search per folder level, held on the heap, so that the depth of
// a tree is not bounded by the stack. A level ends when its search has no
// more entries and those taken ahead are printed.
struct Level {
  std::unique_ptr<DirSearch> search;
  std::string directory;  // entries are joined to this
  std::deque<Pending> pending;
  bool more = true;
};

// Opens the search of a folder the walk enters, as a new level: one a search
// yielded through its `entry`, the first by its path.
void EnterFolder(const std::string& folder_path, const DirEntry* entry, Context& context,
                 ProbesAhead& probes, std::vector<Level>* levels) {
  std::string pattern = folder_path;
  if (pattern.empty() || pattern.back() != '*') pattern += '*';
  if (pattern.size() > kMaxPath) probes.Drain();
  if (RefuseIfTooLong(pattern, context)) return;
  std::unique_ptr<DirSearch> search;
  int error = entry != nullptr ? context.platform->OpenFolderSearch(folder_path, *entry, &search)
                               : context.platform->OpenSearch(pattern, &search);
  if (error != 0) {
    probes.Drain();
    PrintSystemError(pattern, error, context);
    return;
  }
  // Joining to the folder part of the pattern, a pattern such as "dir/a*"
  // yields "dir/abc", never "dir/aabc".
  const char sep = context.platform->Separator();
  levels->push_back({std::move(search), std::string(SplitPattern(pattern, sep).folder), {}});
}

}  // namespace

void ExpandWildcard(const std::string& pattern, Context& context) {
  std::unique_ptr<DirSearch> search;
  if (int error = context.platform->OpenSearch(pattern, &search)) {
    PrintSystemError(pattern, error, context);
    return;
  }
  const std::string directory(SplitPattern(pattern, context.platform->Separator()).folder);
  ProbesAhead probes(directory.empty() ? "." : directory, context);
  std::deque<Pending> pending;
  bool more = true;
  while (more || !pending.empty()) {
    if (more) more = TakeAhead(*search, directory, probes, context, &pending);
    if (pending.empty()) continue;
    Pending p = std::move(pending.front());
    pending.pop_front();
    // Matched folders are reported, not entered; made-up ones not even that.
    if (p.entry.made_up) continue;
    if (p.too_long) {
      probes.Drain();
      RefuseIfTooLong(p.path, context);
      continue;
    }
    ProcessPending(p, probes, context);
  }
}

void WalkTree(const std::string& folder, Context& context, FileIdentity start) {
  ProbesAhead probes(folder, context);
  std::vector<Level> levels;
  // Every folder entered, so that one reached again (through a link, or a
  // second name on a damaged volume) is reported but not entered twice.
  std::set<std::pair<std::uint64_t, std::uint64_t>> entered;
  auto first_entry = [&](FileIdentity identity) {
    return !identity.known() || entered.emplace(identity.volume, identity.file_id).second;
  };

  first_entry(start);
  // The file system the walk starts on: the start's, else the first entry's.
  std::uint64_t volume = start.known() ? start.volume : 0;
  EnterFolder(folder, nullptr, context, probes, &levels);
  while (!levels.empty()) {
    Level& level = levels.back();
    if (level.more)
      level.more = TakeAhead(*level.search, level.directory, probes, context, &level.pending);
    if (level.pending.empty()) {
      if (!level.more) levels.pop_back();
      continue;
    }
    Pending p = std::move(level.pending.front());
    level.pending.pop_front();
    if (p.too_long) {
      probes.Drain();
      context.notes().Write("Skip one because long filename is exist.\n");
      context.failed = true;
      ++context.unreported;
      continue;
    }
    if (!p.entry.folder) {
      ProcessPending(p, probes, context);
      continue;
    }
    // A sub-folder's whole tree comes before the next entry of its parent;
    // a made-up folder is entered without being reported. With -x, a folder
    // of another file system is reported, not entered.
    if (p.entry.made_up) {
      EnterFolder(p.path, &p.entry, context, probes, &levels);
      continue;
    }
    FileIdentity identity = ProcessPending(p, probes, context);
    if (volume == 0 && identity.known()) volume = identity.volume;
    if (context.options.one_file_system && identity.known() && identity.volume != volume) continue;
    if (first_entry(identity)) EnterFolder(p.path, &p.entry, context, probes, &levels);
  }
}

}  // namespace qst
