// List files as Windows editors write them: PowerShell 5 writes UTF-16
// with a byte-order mark (Out-File, >), PowerShell 7 and Notepad may write
// UTF-8 with one. A list that opens with a mark is read in that encoding
// (as UTF-8, the mark dropped); a list without one is read as before, in
// the platform's own way.
#pragma once

#include <memory>

#include "probe/streams.h"

namespace qst {

// Reads the start of `raw` (a list file's bytes as they lie) for a mark.
// Returns the list's text as the program reads it where there is one
// (`*marked` true); else, on platforms that read lists as bytes, `raw`'s
// bytes unchanged (`*marked` false), the ones read to look included.
std::unique_ptr<ByteSource> ReadMarkedList(std::unique_ptr<ByteSource> raw, bool* marked);

}  // namespace qst
