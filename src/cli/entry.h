// The program's entry: options, command-line rules, header row, operands.
#pragma once

#include <string>

#include "cli/context.h"

namespace qst {

inline constexpr const char kHeaderRow[] =
    "FILENAME | ID | atime | mtime | ctime | crtime | TYPE | Object ID | otime | oseq | oMAC | "
    "BirthObject ID | botime | boseq | boMAC | BirthVolume ID \n";

inline constexpr int kStatusOk = 0;
inline constexpr int kStatusHelp = -1;
inline constexpr int kStatusBadUsage = -2;

// Runs the whole program over `argv` (whose pointers it may reorder) and
// returns the exit status: 0, -1 after -h, -2 after a usage error or a list
// file that cannot be opened. `context.options` is filled from the options.
int RunEntry(int argc, char** argv, Context& context);

void PrintUsage(Output& out);

// Writes "\n<path>, CODE=<code>:<system text>" for a failed system call; the
// system text ends in a line break of its own.
void PrintSystemError(const std::string& path, int code, Context& context);

}  // namespace qst
