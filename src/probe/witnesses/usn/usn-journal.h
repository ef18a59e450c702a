// The USN change journal, $Extend\$UsnJrnl:$J: a stream of records NTFS
// appends each time a file is created, renamed, written, has its times or
// attributes set, or is closed after such changes. The stream is sparse:
// its start is freed as the journal wraps. Records are 8-byte aligned and
// never straddle a 4 KiB page; zeros pad each page's end.
//
// Every record starts with:
//   0x00  4  record length
//   0x04  2  major version (2, 3 or 4)
//   0x06  2  minor version
// USN_RECORD_V2 (file references of 64 bits):
//   0x08  8  file reference      0x10  8  parent reference
//   0x18  8  USN                 0x20  8  time stamp (FILETIME)
//   0x28  4  reason flags        0x2C  4  source info
//   0x30  4  security ID         0x34  4  file attributes
//   0x38  2  name length, bytes  0x3A  2  name offset
// USN_RECORD_V3 (file IDs of 128 bits; on NTFS the low 64 bits are the
// file reference):
//   0x08 16  file ID             0x18 16  parent file ID
//   0x28  8  USN                 0x30  8  time stamp
//   0x38  4  reason flags        0x3C  4  source info
//   0x40  4  security ID         0x44  4  file attributes
//   0x48  2  name length, bytes  0x4A  2  name offset
// USN_RECORD_V4 (ranges written; no time, no name; it follows a V3 record
// of the same change):
//   0x08 16  file ID             0x18 16  parent file ID
//   0x28  8  USN                 0x30  4  reason flags
//   0x34  4  source info         0x38  4  remaining extents
//   0x3C  2  number of extents   0x3E  2  extent size
//   0x40     extents (offset 8, length 8 each)
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "probe/ntfs/run-list.h"
#include "probe/volume-reader.h"
#include "probe/witness.h"
#include "time/timestamp.h"

namespace qst {

// Reason flags (USN_REASON_*).
inline constexpr std::uint32_t kUsnDataOverwrite = 0x00000001;
inline constexpr std::uint32_t kUsnDataExtend = 0x00000002;
inline constexpr std::uint32_t kUsnDataTruncation = 0x00000004;
inline constexpr std::uint32_t kUsnFileCreate = 0x00000100;
inline constexpr std::uint32_t kUsnFileDelete = 0x00000200;
inline constexpr std::uint32_t kUsnRenameOldName = 0x00001000;
inline constexpr std::uint32_t kUsnRenameNewName = 0x00002000;
inline constexpr std::uint32_t kUsnBasicInfoChange = 0x00008000;
inline constexpr std::uint32_t kUsnClose = 0x80000000;

struct UsnRecord {
  std::uint16_t major = 0, minor = 0;
  std::uint64_t usn = 0;
  std::uint64_t file = 0, parent = 0;  // references: record number and sequence
  bool has_time = false;               // V4 records have none
  FILETIME time = 0;
  std::uint32_t reason = 0, source_info = 0, security_id = 0, attributes = 0;
  std::u16string name;  // empty for V4
};

// The names Windows gives the reason flags ("File create", "Close"), in
// the order of the flags; unknown flags as "0x...".
std::vector<std::string> UsnReasonNames(std::uint32_t reason);
// The same names joined by ", ".
std::string UsnReasonText(std::uint32_t reason);

// Decodes the record at `data` (at most `available` bytes); its length, or
// 0 (and `*out` untouched) when no whole record of a known version starts
// there.
[[nodiscard]] std::size_t DecodeUsnRecord(const std::uint8_t* data, std::size_t available,
                                          UsnRecord* out);

inline constexpr std::size_t kUsnPage = 4096;

// Visits each record of a stretch of the stream that starts on a page
// boundary: zeros end a page's records; where no record can start (a length
// or version that cannot be), the reader moves on 8 bytes. Returns how many
// such damaged stretches it passed.
std::uint64_t ForEachUsnRecord(const std::uint8_t* data, std::size_t size,
                               const std::function<void(const UsnRecord&)>& visit);

// Reads the records of a whole $J stream: `runs` (sparse ones skipped
// without a read), `size` bytes of data, in large pieces. Returns the
// damaged stretches passed; false in `*read` when the data could not be
// read in part.
std::uint64_t ReadUsnJournal(VolumeReader& reader, const Runs& runs, std::uint64_t size,
                             const std::function<void(const UsnRecord&)>& visit, bool* read);
// Whether `reader` holds a $J stream: the first MiB of its data holds a
// record, or only zeros (a journal not yet written); false for other files
// (a disk image, random bytes), which would read as damage or as records
// made up of stray bytes.
bool LooksLikeUsnJournal(VolumeReader& reader);
// The same over all of `reader`: a $J stream collected apart.
std::uint64_t ReadUsnStream(VolumeReader& reader,
                            const std::function<void(const UsnRecord&)>& visit, bool* read);

// What the journal says of each file, joined on its reference (record and
// sequence number).
class UsnJournalIndex {
 public:
  struct File {
    bool has_created = false;  // the first FILE_CREATE record
    FILETIME created = 0;
    bool has_times_set = false;  // the last BASIC_INFO_CHANGE record
    FILETIME times_set = 0;
    // A close whose one change was the file's basic information, its
    // attributes the same as in the file's record before: its times alone.
    bool times_set_alone = false;
    std::uint64_t records = 0;
    // The attributes of its last close or creation that has them (V2, V3).
    bool has_attributes = false;
    std::uint32_t attributes = 0;
    // Time and reasons of each record, when kept.
    std::vector<std::pair<FILETIME, std::uint32_t>> events;
  };

  // With `keep_events`, each file keeps the time and reasons of every one of
  // its records (a body file lists them).
  explicit UsnJournalIndex(bool keep_events = false) : keep_events_(keep_events) {}

  void Add(const UsnRecord& record);
  // The file's entry, or null when the journal holds nothing for it.
  const File* Find(std::uint64_t record, std::uint16_t sequence) const;
  // Adds what the journal holds of the file (record, sequence) to its
  // facts: how much the journal covers, how many of its records are the
  // file's (none is a count too), its times, and each record as an event
  // where they are kept.
  void Join(std::uint64_t record, std::uint16_t sequence, Facts* facts,
            std::vector<WitnessEvent>* events) const;
  // The first and last times in the journal; false when it holds none.
  bool Coverage(FILETIME* first, FILETIME* last) const;
  // Where the records' times go back, in journal order, by more than the
  // clock's jitter (kClockJitter): the clock was set back there. At most
  // kMaxClockSteps of them are kept; `more_clock_steps` counts the others.
  const std::vector<ClockStep>& clock_steps() const { return steps_; }
  std::uint64_t more_clock_steps() const { return more_steps_; }
  // Whether `t` lies in a span the clock ran twice: from a step's `to` up
  // to its `from`.
  bool InClockSpan(FILETIME t) const;
  static constexpr FILETIME kClockJitter = 60ull * 10000000;  // a minute
  static constexpr std::size_t kMaxClockSteps = 32;
  std::uint64_t records() const { return records_; }

  std::uint64_t damaged = 0;  // stretches the reader passed over
  bool unreadable = false;    // a part could not be read

 private:
  bool keep_events_;
  std::unordered_map<std::uint64_t, File> files_;
  std::uint64_t records_ = 0;
  bool has_times_ = false;
  FILETIME first_ = 0, last_ = 0;
  FILETIME previous_ = 0;  // the time of the last record with one
  std::vector<ClockStep> steps_;
  std::uint64_t more_steps_ = 0;
};

}  // namespace qst
