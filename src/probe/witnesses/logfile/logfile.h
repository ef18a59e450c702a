// $LogFile, NTFS's transaction log, read whole: the newer of its two
// restart pages (logfile-restart.h), then its record pages in the circular
// area, oldest first, each record (logfile-record.h) as it was written.
//
// Record page (a log page, multi-sector protected, "RCRD"):
//   0x00  4  magic              0x04  2  update sequence offset
//   0x06  2  update sequence count
//   0x08  8  last LSN (of a record in the page)
//   0x10  4  flags (0x0001: a record ends in the page)
//   0x14  2  page count         0x16  2  page position
//   0x18  2  next record offset (free space after the last record ending here)
//   0x20  8  last end LSN (of the last record ending in the page)
//   (records from the log page data offset of the restart area on)
// The log's first two system pages hold the restart pages; log pages
// follow: in version 1.x two, in 2.0 thirty-two "tail" pages that keep
// copies of the page being written, then the circular area, written over
// from its start once full. A record's LSN tells its offset in the file
// (LsnOffset); records are 8-byte aligned and one that does not fit the
// rest of its page goes on in the data of the pages after (wrapping from
// the last page to the first of the circular area).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "probe/witnesses/logfile/logfile-record.h"
#include "probe/witnesses/logfile/logfile-restart.h"

namespace qst {

struct LogFileScan {
  bool usable = false;       // a restart page could be read: the log was
  int restart_damaged = 0;   // restart pages that are not whole (0, 1 or 2)
  LogRestart restart;        // the newer whole one
  std::uint64_t pages = 0;   // record pages in the circular area
  std::uint64_t unused = 0;  // never written
  std::uint64_t damaged_pages = 0;
  std::uint64_t records = 0;
  std::uint64_t damaged_records = 0;  // cut short by a damaged page
  bool unreadable = false;            // the medium failed to give a part
  // The cluster size its records' targets were read with was assumed (4096
  // bytes): neither the volume read beside it (a bare $MFT) nor the log's
  // own records tell it.
  bool cluster_assumed = false;
};

// Fills `size` bytes at `offset` of the log; false where it cannot.
using LogFileRead = std::function<bool(std::uint64_t offset, std::uint8_t* out, std::size_t size)>;

// Reads a $LogFile of `size` bytes through `read`, giving `visit` each
// record, oldest first (in LSN order on a log that is not damaged). A
// record's data spans are valid during the call.
LogFileScan ReadLogFile(std::uint64_t size, const LogFileRead& read,
                        const std::function<void(const LogRecord&)>& visit);

// What was lost or worked around, as lines for standard error naming
// `name`; empty when nothing was.
std::string DescribeLogDamage(const std::string& name, const LogFileScan& scan);

}  // namespace qst
