// Turning operands into concrete paths: plain paths, wildcard patterns,
// list files and recursive walks. Each path goes to ProcessFile.
#pragma once

#include <string>

#include "cli/context.h"
#include "probe/record.h"

namespace qst {

// Handles argv[first] to argv[argc - 1] in order, in the mode that the
// options chose. Returns kStatusOk, or kStatusBadUsage when the run had to
// end early (a list file that cannot be opened, a -r operand with a wildcard
// before its end).
int ProcessOperands(int argc, char** argv, int first, Context& context);

// Probes `path` and prints its record in the run's layout, or its error
// line. Returns which file it was (zeros when unknown or not probed).
// `entry`, when given, is what an open search yielded for `path`.
FileIdentity ProcessFile(const std::string& path, Context& context,
                         const DirEntry* entry = nullptr);

// Prints `record` in the run's layout. A form that has no place for a failed
// path's error line puts it on standard error.
FileIdentity PrintRecord(const FileTimestampRecord& record, Context& context);

// Hands every match of `pattern` to ProcessFile: folders with a separator
// appended, "." and ".." passed over. Matched folders are not entered.
void ExpandWildcard(const std::string& pattern, Context& context);

// Hands every entry below `folder` to ProcessFile, depth first, each folder
// just before its contents. `folder` ends with the separator, or is a
// pattern whose last component ends in a wildcard; `folder` itself is not
// reported. A folder that the walk has entered already (reached again
// through a link) is reported but not entered again; `start` tells which
// folder the walk starts in.
void WalkTree(const std::string& folder, Context& context, FileIdentity start = {});

}  // namespace qst
