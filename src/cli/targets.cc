#include "cli/targets.h"

#include <deque>
#include <future>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "cli/entry.h"
#include "cli/listfile.h"
#include "cli/probe-pool.h"
#include "probe/wildcard.h"

namespace qst {

FileIdentity PrintRecord(const FileTimestampRecord& record, Context& context) {
  context.text.clear();
  const Layout& layout = context.layout();
  if (record.error != 0 && layout.errors_apart) {
    context.err.Printf("qst: %.*s, CODE=%d:%s\n", static_cast<int>(record.path.size()),
                       record.path.data(), record.error, OneLine(record.error_text).c_str());
    return record.identity;
  }
  layout.print(record, &context.text);
  context.out.Write(context.text);
  context.progress.FileDone();
  return record.identity;
}

namespace {

bool IsDotOrDotDot(const std::string& name) { return name == "." || name == ".."; }

// Paths that no buffer of ours would hold are refused like a name the system
// finds too long.
bool RefuseIfTooLong(const std::string& path, Context& context) {
  if (path.size() <= kMaxPath) return false;
  PrintSystemError(path, context.platform->NameTooLongCode(), context);
  return true;
}

void ProcessPath(const std::string& path, Context& context) {
  if (!RefuseIfTooLong(path, context)) ProcessFile(path, context);
}

int ProcessListFile(const std::string& list_path, Context& context) {
  std::unique_ptr<ByteSource> source;
  if (int error = context.platform->OpenList(list_path, &source)) {
    PrintSystemError(list_path, error, context);
    PrintUsage(context.notes());
    return kStatusBadUsage;
  }
  // A line too long for a path is reported whole, once.
  ListLineReader reader(*source);
  std::string line;
  while (reader.Next(&line)) ProcessPath(line, context);
  return kStatusOk;
}

int ProcessRecursiveOperand(std::string path, Context& context) {
  const char sep = context.platform->Separator();
  if (path.size() > 2 && HasWildcard(std::string_view(path).substr(0, path.size() - 1))) {
    context.notes().Write("Can't use complex wildcard when -r option specified.\n");
    return kStatusBadUsage;
  }
  if (RefuseIfTooLong(path, context)) return kStatusOk;

  if (context.platform->IsVolumeRoot(path)) {
    if (path.back() != sep) path += sep;
    WalkTree(path, context, ProcessFile(path, context));
    return kStatusOk;
  }

  if (!path.empty() && path.back() == sep) path.pop_back();
  std::unique_ptr<DirSearch> search;
  if (int error = context.platform->OpenSearch(path, &search)) {
    PrintSystemError(path, error, context);
    return kStatusOk;
  }
  DirEntry first;
  search->Next(&first);
  search.reset();

  if (!path.empty() && IsWildcard(path.back())) {
    // "dir/*" reports dir/ when the first match is a folder; a pattern over
    // part of a name ("dir/a*") or the bare "*" names no folder to report.
    path.pop_back();
    FileIdentity start;
    if (first.folder && !path.empty() && path.back() == sep) start = ProcessFile(path, context);
    WalkTree(path, context, start);
  } else if (first.folder) {
    path += sep;
    WalkTree(path, context, ProcessFile(path, context));
  } else {
    // A file given to -r has nothing below it: report the file itself.
    ProcessFile(path, context);
  }
  return kStatusOk;
}

}  // namespace

namespace {

// The probes kept in flight below a folder, as -j or the platform says:
// `ahead` entries are taken before they are printed, and `pool` probes them
// meanwhile when there is more than one thread.
struct ProbesAhead {
  ProbesAhead(const std::string& folder, Context& context) {
    int threads =
        context.options.jobs > 0 ? context.options.jobs : context.platform->ProbeThreads(folder);
    if (threads <= 1 || context.platform->ProbesFromMemory()) return;
    pool.emplace(*context.platform, threads, context.options.time_form(), context.options.fields());
    ahead = 4 * static_cast<std::size_t>(threads);
  }
  ProbePool* get() { return pool ? &*pool : nullptr; }

  std::optional<ProbePool> pool;
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
// ".." passed over; entries are joined to `directory`. False once the
// search has no more.
bool TakeAhead(DirSearch& search, const std::string& directory, std::size_t ahead, ProbePool* pool,
               Context& context, std::deque<Pending>* pending) {
  const char sep = context.platform->Separator();
  DirEntry entry;
  while (pending->size() < ahead) {
    if (!search.Next(&entry)) return false;
    if (entry.folder && IsDotOrDotDot(entry.name)) continue;
    Pending p;
    p.path.assign(directory).append(entry.name);
    if (entry.folder) p.path += sep;
    p.too_long = p.path.size() > kMaxPath;
    if (pool != nullptr && !entry.made_up && !p.too_long) p.record = pool->Probe(p.path, entry);
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
  return PrintRecord(record, context);
}

}  // namespace

FileIdentity ProcessFile(const std::string& path, Context& context, const DirEntry* entry) {
  return PrintRecord(ProbeRecord(*context.platform, path, context.options.time_form(),
                                 context.options.fields(), entry),
                     context);
}

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
    if (more) more = TakeAhead(*search, directory, probes.ahead, probes.get(), context, &pending);
    if (pending.empty()) continue;
    Pending p = std::move(pending.front());
    pending.pop_front();
    // Matched folders are reported, not entered; made-up ones not even that.
    if (p.entry.made_up) continue;
    if (p.too_long) {
      RefuseIfTooLong(p.path, context);
      continue;
    }
    ProcessPending(p, context);
  }
}

void WalkTree(const std::string& folder, Context& context, FileIdentity start) {
  const char sep = context.platform->Separator();
  ProbesAhead probes(folder, context);
  // One open search per folder level, held on the heap, so that the depth of
  // a tree is not bounded by the stack. A level ends when its search has no
  // more entries and those taken ahead are printed.
  struct Level {
    std::unique_ptr<DirSearch> search;
    std::string directory;  // entries are joined to this
    std::deque<Pending> pending;
    bool more = true;
  };
  std::vector<Level> levels;
  // Every folder entered, so that one reached again (through a link, or a
  // second name on a damaged volume) is reported but not entered twice.
  std::set<std::pair<std::uint64_t, std::uint64_t>> entered;
  auto enter = [&](const std::string& folder_path) {
    std::string pattern = folder_path;
    if (pattern.empty() || pattern.back() != '*') pattern += '*';
    if (RefuseIfTooLong(pattern, context)) return;
    std::unique_ptr<DirSearch> search;
    if (int error = context.platform->OpenSearch(pattern, &search)) {
      PrintSystemError(pattern, error, context);
      return;
    }
    // Joining to the folder part of the pattern, a pattern such as "dir/a*"
    // yields "dir/abc", never "dir/aabc".
    levels.push_back({std::move(search), std::string(SplitPattern(pattern, sep).folder), {}});
  };
  auto first_entry = [&](FileIdentity identity) {
    return !identity.known() || entered.emplace(identity.volume, identity.file_id).second;
  };

  first_entry(start);
  enter(folder);
  while (!levels.empty()) {
    Level& level = levels.back();
    if (level.more)
      level.more = TakeAhead(*level.search, level.directory, probes.ahead, probes.get(), context,
                             &level.pending);
    if (level.pending.empty()) {
      if (!level.more) levels.pop_back();
      continue;
    }
    Pending p = std::move(level.pending.front());
    level.pending.pop_front();
    if (p.too_long) {
      context.notes().Write("Skip one because long filename is exist.\n");
      continue;
    }
    if (!p.entry.folder) {
      ProcessPending(p, context);
      continue;
    }
    if (p.entry.made_up) {
      enter(p.path);
      continue;
    }
    // A sub-folder's whole tree comes before the next entry of its parent.
    FileIdentity identity = ProcessPending(p, context);
    if (first_entry(identity)) enter(p.path);
  }
}

int ProcessOperands(int argc, char** argv, int first, Context& context) {
  for (int i = first; i < argc; ++i) {
    std::string operand = argv[i];
    if (context.options.list) {
      if (int status = ProcessListFile(operand, context)) return status;
    } else if (context.options.recursive) {
      if (int status = ProcessRecursiveOperand(std::move(operand), context)) return status;
    } else if (HasWildcard(std::string_view(operand))) {
      if (!RefuseIfTooLong(operand, context)) ExpandWildcard(operand, context);
    } else {
      ProcessPath(operand, context);
    }
  }
  return kStatusOk;
}

}  // namespace qst
