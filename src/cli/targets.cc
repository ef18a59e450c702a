#include "cli/targets.h"

#include <set>
#include <utility>
#include <vector>

#include "cli/entry.h"
#include "cli/listfile.h"
#include "probe/wildcard.h"

namespace qst {
namespace {

bool IsDotOrDotDot(const std::string& name) { return name == "." || name == ".."; }

// Paths that no buffer of ours would hold are refused like a name the system
// finds too long.
bool RefuseIfTooLong(const std::string& path, Context& context) {
  if (path.size() <= kMaxPath) return false;
  PrintSystemError(path, context.platform->NameTooLongCode(), context);
  return true;
}

void ProcessPath(const std::string& path, Context& context, const DirEntry* entry = nullptr) {
  if (!RefuseIfTooLong(path, context)) ProcessFile(path, context, entry);
}

int ProcessListFile(const std::string& list_path, Context& context) {
  std::unique_ptr<ByteSource> source;
  if (int error = context.platform->OpenList(list_path, &source)) {
    PrintSystemError(list_path, error, context);
    PrintUsage(context.out);
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
    context.out.Write("Can't use complex wildcard when -r option specified.\n");
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

FileIdentity ProcessFile(const std::string& path, Context& context, const DirEntry* entry) {
  FileTimestampRecord record = ProbeRecord(*context.platform, path, context.options.time_form(),
                                           context.options.fields(), entry);
  context.text.clear();
  context.layout().print(record, &context.text);
  context.out.Write(context.text);
  return record.identity;
}

void ExpandWildcard(const std::string& pattern, Context& context) {
  std::unique_ptr<DirSearch> search;
  if (int error = context.platform->OpenSearch(pattern, &search)) {
    PrintSystemError(pattern, error, context);
    return;
  }
  const char sep = context.platform->Separator();
  const std::string_view directory = SplitPattern(pattern, sep).folder;
  std::string path;
  DirEntry entry;
  while (search->Next(&entry)) {
    if ((entry.folder && IsDotOrDotDot(entry.name)) || entry.made_up) continue;
    path.assign(directory).append(entry.name);
    if (entry.folder) path += sep;
    ProcessPath(path, context, &entry);
  }
}

void WalkTree(const std::string& folder, Context& context, FileIdentity start) {
  const char sep = context.platform->Separator();
  // One open search per folder level, held on the heap, so that the depth of
  // a tree is not bounded by the stack.
  struct Level {
    std::unique_ptr<DirSearch> search;
    std::string directory;  // entries are joined to this
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
    levels.push_back({std::move(search), std::string(SplitPattern(pattern, sep).folder)});
  };
  // A folder that is one of those being walked (reached again through a
  // link) is reported but not entered a second time.
  auto first_entry = [&](FileIdentity identity) {
    return !identity.known() || entered.emplace(identity.volume, identity.file_id).second;
  };

  first_entry(start);
  enter(folder);
  std::string path;
  DirEntry entry;
  while (!levels.empty()) {
    const Level& level = levels.back();
    if (!level.search->Next(&entry)) {
      levels.pop_back();
      continue;
    }
    if (entry.folder && IsDotOrDotDot(entry.name)) continue;
    if (level.directory.size() + entry.name.size() + (entry.folder ? 1 : 0) > kMaxPath) {
      context.out.Write("Skip one because long filename is exist.\n");
      continue;
    }
    path.assign(level.directory).append(entry.name);
    if (!entry.folder) {
      ProcessFile(path, context, &entry);
      continue;
    }
    path += sep;
    if (entry.made_up) {
      enter(path);
      continue;
    }
    // A sub-folder's whole tree comes before the next entry of its parent.
    FileIdentity identity = ProcessFile(path, context, &entry);
    if (first_entry(identity)) enter(path);
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
