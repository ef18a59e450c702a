// Turning operands into concrete paths: plain paths, wildcard patterns,
// list files and recursive walks. Each path goes to ProcessFile.
#pragma once

#include <string>

#include "cli/context.h"

namespace qst {

// Handles argv[first] to argv[argc - 1] in order, in the mode that the
// options chose. Returns 0, or -2 when the run had to end early (a list file
// that cannot be opened, a -r operand with a wildcard before its end).
int ProcessOperands(int argc, char** argv, int first, Context& context);

// Hands every match of `pattern` to ProcessFile: folders with a separator
// appended, "." and ".." passed over. Matched folders are not entered.
void ExpandWildcard(const std::string& pattern, Context& context);

// Hands every entry below `folder` to ProcessFile, depth first, each folder
// just before its contents. `folder` ends with the separator, or is a
// pattern whose last component ends in a wildcard; `folder` itself is not
// reported. A folder that is already being walked (reached again through a
// link) is reported but not entered; `folder_info`, the probe of `folder`
// when there was one, tells which folder the walk starts in.
void WalkTree(const std::string& folder, Context& context,
              const RawFileInfo* folder_info = nullptr);

}  // namespace qst
