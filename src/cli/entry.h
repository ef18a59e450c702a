// The program's entry: the command line, the image named with -d, the
// header row, the operands, and what of the evidence was lost.
#pragma once

#include "cli/context.h"

namespace qst {

// Runs the whole program over `argv` (whose pointers it may reorder) and
// returns the exit status: kStatusOk, kStatusHelp after -h, kStatusBadUsage
// after a usage error or a list file that cannot be opened, kStatusFailure
// when the image named with -d cannot be read. `context.options` is filled
// from the options.
int RunEntry(int argc, char** argv, Context& context);

}  // namespace qst
