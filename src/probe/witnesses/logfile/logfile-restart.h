// The restart pages of $LogFile: the first two system pages of the log, each
// a copy of the log's restart area, written in turn so that one survives a
// torn write. The one with the greater current LSN is the newer.
//
// Restart page (multi-sector protected, "RSTR", or "CHKD" once chkdsk has
// looked at it):
//   0x00  4  magic              0x04  2  update sequence offset
//   0x06  2  update sequence count
//   0x08  8  chkdsk LSN         0x10  4  system page size
//   0x14  4  log page size      0x18  2  restart area offset
//   0x1A  2  minor version      0x1C  2  major version
// Restart area (at the restart area offset):
//   0x00  8  current LSN        0x08  2  log clients
//   0x0A  2  client free list   0x0C  2  client in-use list
//   0x0E  2  flags (0x0002: the volume was cleanly dismounted)
//   0x10  4  sequence number bits (of an LSN, the rest being its offset / 8)
//   0x14  2  restart area length
//   0x16  2  client array offset (from the restart area)
//   0x18  8  log file size      0x20  4  last LSN data length
//   0x24  2  log record header length
//   0x26  2  log page data offset (where records start in a record page)
//   0x28  4  restart log open count
// Log client record (each 0xA0 bytes, in the client array):
//   0x00  8  oldest LSN         0x08  8  client restart LSN
//   0x10  2  previous client    0x12  2  next client
//   0x14  2  sequence number    0x1C  4  name length, bytes
//   0x20 64  name, UTF-16 ("NTFS")
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qst {

struct LogRestart {
  std::uint32_t system_page_size = 0, log_page_size = 0;
  std::int16_t minor = 0, major = 0;
  std::uint64_t current_lsn = 0;
  bool clean = false;  // dismounted cleanly
  std::uint32_t sequence_bits = 0;
  std::uint64_t file_size = 0;
  std::uint16_t record_header_length = 0;
  std::uint16_t page_data_offset = 0;
  // The first client's (NTFS's) oldest LSN still needed and restart LSN.
  bool has_client = false;
  std::uint64_t oldest_lsn = 0, client_restart_lsn = 0;
  // The fields that were out of their range and are read as what NTFS
  // writes ("page data offset, file size"); empty where none was. A file
  // size of 0 or sequence bits of 0 are then for the caller to take from
  // the file.
  std::string repaired;
};

// The restart page header, read before the page's size is known.
inline constexpr std::size_t kLogRestartHeader = 0x1E;

// Decodes the restart page at `page` (`size` bytes, at least the system
// page size its header gives, fixed up in place); false when it is none or
// its page sizes, fixups or area offset contradict each other. Fields past
// those that are out of range are repaired (LogRestart::repaired).
bool DecodeLogRestart(std::uint8_t* page, std::size_t size, LogRestart* out);

// The file offset of `lsn` in a log whose LSNs keep `sequence_bits` bits
// of sequence number.
inline std::uint64_t LsnOffset(std::uint64_t lsn, std::uint32_t sequence_bits) {
  return (lsn << sequence_bits) >> (sequence_bits - 3);
}

}  // namespace qst
