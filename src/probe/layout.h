// The layouts: each one prints a record as text. A new layout is one more
// printer here; a new field is one more member of the record and a line in
// each printer that shows it.
#pragma once

#include <string>
#include <string_view>

#include "probe/record.h"

namespace qst {

struct Layout {
  // Written once before the records of a run that show `fields`; empty when
  // there is none.
  std::string (*header)(RecordFields fields);
  // Appends one record, or the error line of a path that failed, to `out`.
  void (*print)(const FileTimestampRecord& record, std::string* out);
  // Whether a path that failed is told on standard error rather than among
  // the records: the form has no place for it.
  bool errors_apart = false;
};

// A labelled block per record.
extern const Layout kBlockLayout;
// One row per record, fields separated by " |", under a header row.
extern const Layout kRowLayout;

// For other programs to read, times in UTC whatever the options; the record
// must be built with the UTC ISO form.
// JSON Lines: one object per record, failed paths included.
extern const Layout kJsonLayout;
// RFC 4180 CSV (comma, CRLF, quotes where needed) under a header row.
extern const Layout kRfc4180Layout;
// The body file that mactime reads; failed paths go apart.
extern const Layout kBodyfileLayout;

// A system's message without the line break (and trailing blanks) it ends in.
std::string OneLine(std::string_view message);

// Appends "\n<path>, CODE=<code>:<text>" for a path the system refused;
// `text`, the system's message, ends in a line break of its own.
void AppendErrorLine(std::string_view path, int code, std::string_view text, std::string* out);

}  // namespace qst
