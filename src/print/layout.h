// The layouts: each one prints a record as text. A new layout is one more
// printer here; a new field is one more member of the record and a line in
// each printer that shows it.
#pragma once

#include <string>
#include <string_view>

#include "print/schema.h"
#include "probe/record.h"
#include "util/text.h"

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
// Nothing per record (a run that writes only its report); failed paths on
// standard error.
extern const Layout kNoLayout;
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
// JSON Lines of events for timeline tools: one per time, with `datetime`,
// `timestamp_desc` and `message`; failed paths go apart.
extern const Layout kEventsLayout;

// Appends a name or path as the text layouts show it: control characters
// (U+0000 to U+001F, U+007F) as "<0A>"; the marks that reorder the text
// around them (U+061C, U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069)
// as "<U+202E>"; in the row layouts (`row`), the field separator's '|' as
// "<7C>", so that no name forges a field; all else byte for byte. For a
// path of a volume's names joined with '\\' (`volume`), also '/' as "<2F>"
// and a '<' that would read as a code as "<3C>": PathFromText reads it back.
void AppendTextName(std::string_view name, std::string* out, bool row = false, bool volume = false);

// Appends "\n<path>, CODE=<code>:<text>" for a path the system refused;
// `text`, the system's message, ends in a line break of its own.
// `row`: in the row layout, whose rows the line stands among.
void AppendErrorLine(std::string_view path, int code, std::string_view text, std::string* out,
                     bool row = false, bool volume = false);

}  // namespace qst
