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
};

// A labelled block per record.
extern const Layout kBlockLayout;
// One row per record, fields separated by " |", under a header row.
extern const Layout kRowLayout;

// Appends "\n<path>, CODE=<code>:<text>" for a path the system refused;
// `text`, the system's message, ends in a line break of its own.
void AppendErrorLine(std::string_view path, int code, std::string_view text, std::string* out);

}  // namespace qst
