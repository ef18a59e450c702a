// The origin verdict: which file system or tool most likely produced a
// file's four timestamps, read from their grain.
#pragma once

#include "time/timestamp.h"

namespace qst {

// Returns one of eleven constant labels ("Unknown", "FAT", "exFAT",
// "Unix(POSIX)", "DOS", "Unix(POSIX)->NTFS", "FAT/ZIP/LZH->NTFS",
// "Unix(POSIX)->NTFS->Operation", "exFAT->NTFS", "SYSTEMTIME", "FILETIME").
// Zero and equality tests use the raw UTC values; the parity of seconds and
// the bare-date test of atime use the display zone. A time that could not be
// converted has all-zero broken-down fields and is judged on those.
const char* ClassifyTimestampOrigin(const RenderedTimestamp& atime, const RenderedTimestamp& mtime,
                                    const RenderedTimestamp& ctime,
                                    const RenderedTimestamp& crtime);

}  // namespace qst
