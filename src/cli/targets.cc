#include "cli/targets.h"

#include <algorithm>
#include <utility>

#include "cli/listfile.h"
#include "cli/report.h"
#include "cli/usage.h"
#include "cli/walk.h"
#include "print/form-text.h"
#include "probe/wildcard.h"

namespace qst {

namespace {

// An operand or list line with the platform's other separator made its own;
// of an image, with the codes its text layouts write for characters ("<2F>"
// for a name's own '/', "<0A>") read back, so that a path listed names the
// same file when given back.
std::string WithSeparators(std::string path, const Context& context) {
  const Platform& platform = *context.platform;
  if (char other = platform.OtherSeparator())
    std::replace(path.begin(), path.end(), other, platform.Separator());
  if (context.options.fields().volume_names) return PathFromText(path);
  return path;
}

void ProcessPath(const std::string& path, Context& context) {
  if (RefuseIfTooLong(path, context)) return;
  const FileTimestampRecord record =
      ProbeRecord(*context.platform, path, context.options.time_form(), context.options.fields());
  PrintRecord(record, context);
  // A name that several entries match but for case, none exactly: each is
  // listed under its own name, as a search for it finds them.
  if (record.error == kAmbiguousName) ExpandWildcard(path, context);
}

int ProcessListFile(const std::string& list_path, Context& context) {
  std::unique_ptr<ByteSource> source;
  if (int error = context.platform->OpenList(list_path, &source)) {
    PrintSystemError(list_path, error, context, true);
    PrintUsage(context.notes());
    return kStatusBadUsage;
  }
  // A line too long for a path is reported whole, once.
  ListLineReader reader(*source);
  std::string line;
  while (reader.Next(&line)) ProcessPath(WithSeparators(std::move(line), context), context);
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

int ProcessOperands(int argc, char** argv, int first, Context& context) {
  for (int i = first; i < argc; ++i) {
    std::string operand = argv[i];
    // A list file is on this machine; the paths it lists, as the others, are
    // the platform's.
    if (context.options.list) {
      if (int status = ProcessListFile(operand, context)) return status;
      continue;
    }
    operand = WithSeparators(std::move(operand), context);
    if (context.options.recursive) {
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
