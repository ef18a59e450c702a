// What $LogFile holds of each file: the log records that change its MFT
// record, joined on record and sequence number, and the $STANDARD_INFORMATION
// times they show.
//
// A record that changes an MFT record names it by the cluster it lies in
// (target VCN of $MFT) and its 512-byte block in that cluster; the record
// number follows from the cluster and record sizes. Its sequence number is
// known where the log holds an image of the whole record (the redo data of
// InitializeFileRecordSegment, as a file is made in it): records after such
// an image belong to the file it made; records before the first image, to
// the file the record holds now only when no file was made or removed in
// it after them. An index entry added or removed names its file by record
// and sequence number: the file it names is joined that record too.
//
// $STANDARD_INFORMATION is a record's first attribute (types are sorted;
// at 0x38 in records since Windows XP, as the images show), its value at
// 0x18 in the attribute: creation 0x00, write 0x08, change 0x10, access
// 0x18. An UpdateResidentValue record of that attribute holds the new bytes
// (redo) and the old (undo) of the stretch it changes, from the attribute
// offset on; CreateAttribute and whole-record images hold all four.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "probe/ntfs/attribute-values.h"
#include "probe/witness.h"
#include "probe/witnesses/logfile/logfile-record.h"

namespace qst {

// The times a log record's redo or undo bytes hold, where they hold those
// of $STANDARD_INFORMATION (a change of it, a new one, a record's image) or
// of a $FILE_NAME (a new one, an index entry, or the copy an index entry
// keeps): creation, write, change, access, each where it is whole there.
struct LogTimes {
  const char* of = nullptr;  // "$SI", "$FN"; null when none
  std::uint8_t known = 0;    // bit i: times[i]
  FILETIME times[4] = {};
};
LogTimes TimesOfLogRecord(const LogRecord& record, bool redo);

// The MFT record a log record changes, from its target cluster and block,
// on a volume of `cluster_size` and `record_size`; kNoLogTarget where it
// changes none.
std::uint64_t LogTargetRecord(const LogRecord& record, std::uint32_t cluster_size,
                              std::uint32_t record_size);

// The cluster and record sizes a log was written for, as its own records
// state them: an InitializeFileRecordSegment holds the image of the record
// it makes, with the record's size (0x1C) and, since NTFS 3.1, its number
// (0x2C), which with the record's target cluster and block give both.
struct LogGeometry {
  std::uint32_t cluster_size = 0, record_size = 0;  // 0: not stated
  bool known() const { return cluster_size != 0 && record_size != 0; }
};
// Takes what `record` states of the geometry into `*geometry`, where it
// states it and nothing was learnt before.
void LearnLogGeometry(const LogRecord& record, LogGeometry* geometry);

class LogFileIndex {
 public:
  // Adds a record that changes the MFT record `target` (LogTargetRecord;
  // kNoLogTarget for none).
  void Add(const LogRecord& record, std::uint64_t target);
  // Orders each file's records: after the last Add.
  void Seal();
  // Where records of several logs were added (a volume's and its shadow
  // copies'), the first LSN from which on they hold every record: a change
  // made between two logs' windows is in neither, and the log's
  // contradiction of a current time (kLogUnwritten) weighs the records
  // from there on alone. 0 (the default): all of them.
  void SetWholeFrom(std::uint64_t lsn) { whole_from_ = lsn; }

  // Adds what the log holds of the file (record, sequence) whose times are
  // now `current` to its facts: how many log records change it (none is a
  // count too), the first and last of their LSNs, whether one of them moved
  // a time back or a creation forward as a forger does (kLogMovedBack,
  // kLogMovedForward), whether a current creation or write time is one no
  // record shows while they show others (kLogUnwritten), and, as events, every
  // $STANDARD_INFORMATION time they show that differs from the current one
  // (the code: 0 creation, 1 write, 2 change, 3 access).
  // A file's records run from its record's initialisation to its
  // deallocation; a `deleted` file's `sequence` is the one NTFS raised as
  // it freed the record.
  void Join(std::uint64_t record, std::uint16_t sequence, bool deleted, const NtfsTimes& current,
            Facts* facts, std::vector<WitnessEvent>* events) const;

  // A file whose creation time was less than this older than the change
  // time written with a time moved back was made moments before: a copy or
  // an extraction setting the times its source kept.
  static constexpr std::uint64_t kFresh = 3600ull * 10000000;  // an hour

 private:
  // kNamed: an entry added to or removed from a folder's index that names
  // the file by record and sequence number.
  enum Kind : std::uint8_t { kChange, kMade, kRemoved, kNamed };
  static constexpr std::uint32_t kNoTimes = 0xFFFFFFFF;
  struct Touch {
    std::uint64_t record;  // the MFT record it changes
    std::uint64_t lsn;
    std::uint32_t times;     // its place in times_, or kNoTimes
    std::uint16_t sequence;  // of kMade
    Kind kind;
    // A change of a resident value near the record's start that is not
    // $STANDARD_INFORMATION where Windows keeps it (records of another
    // size or an older layout): it may set times this index cannot read.
    bool unread_value = false;
  };
  // The four times (creation, write, change, access) a record shows before
  // and after it, each where it shows it.
  struct Times {
    std::uint8_t before_known = 0, after_known = 0;
    FILETIME before[4] = {}, after[4] = {};
  };

  // The records of an MFT record, in LSN order.
  std::span<const Touch> TouchesOf(std::uint64_t record) const;
  // Adds the file an index entry added or removed names.
  void AddNamed(const LogRecord& record);
  // What the records so far show of a file: each time's latest value, and
  // the first creation time shown (before any record set it, where the
  // log holds the file's whole life: when it was made).
  struct Past {
    FILETIME known[4] = {};
    std::uint8_t mask = 0;
    FILETIME made = 0;
    bool made_known = false;
  };
  // Takes a record's times into the file's `past`; whether it moved a time
  // back (kBack) or a creation forward (kForward) as a forger does.
  static constexpr std::uint8_t kBack = 1, kForward = 2;
  // How far a coarser clock's rounding moves a time forward.
  static constexpr std::uint64_t kRounding = 2ull * 10000000;
  static std::uint8_t Step(const Times& x, Past* past);

  // Sorted by record, then LSN, at Seal; `records_` holds each record
  // number once with where its touches start, for lookups.
  std::vector<Touch> touches_;
  std::uint64_t whole_from_ = 0;
  std::vector<std::pair<std::uint64_t, std::uint32_t>> records_;
  std::vector<Times> times_;
};

}  // namespace qst
