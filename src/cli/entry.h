// The program's entry: options, command-line rules, header row, operands.
#pragma once

#include <string>

#include "cli/context.h"

namespace qst {

// Runs the whole program over `argv` (whose pointers it may reorder) and
// returns the exit status: kStatusOk, kStatusHelp after -h, kStatusBadUsage
// after a usage error or a list file that cannot be opened.
// `context.options` is filled from the options.
int RunEntry(int argc, char** argv, Context& context);

void PrintUsage(Output& out);

// Writes the error line of a failed system call for `path`.
void PrintSystemError(const std::string& path, int code, Context& context);

}  // namespace qst
