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

}  // namespace qst
