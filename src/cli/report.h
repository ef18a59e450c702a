// Printing what a path yields: its record in the run's layout or form, or
// the error line of a failed system call.
#pragma once

#include <string>

#include "cli/context.h"
#include "probe/record.h"

namespace qst {

// Probes `path` and prints its record in the run's layout, or its error
// line. Returns which file it was (zeros when unknown or not probed).
// `entry`, when given, is what an open search yielded for `path`.
FileIdentity ProcessFile(const std::string& path, Context& context,
                         const DirEntry* entry = nullptr);

// Prints `record` in the run's layout. A form that has no place for a failed
// path's error line puts it on standard error.
FileIdentity PrintRecord(const FileTimestampRecord& record, Context& context);

// Adds what printing `record` in `layout` writes to `*printed`; no output,
// so that it may run on any thread.
void RenderRecord(const FileTimestampRecord& record, const Layout& layout, PrintedText* printed);
// Writes what was gathered, in order, and counts it.
void WritePrinted(const PrintedText& printed, Context& context);

// Writes the error line of a failed system call for `path` (a path of this
// machine's where `on_this_machine`, else of the platform's).
void PrintSystemError(const std::string& path, int code, Context& context,
                      bool on_this_machine = false);

// Paths that no buffer of ours would hold are refused like a name the system
// finds too long: true after printing that error.
bool RefuseIfTooLong(const std::string& path, Context& context);

}  // namespace qst
