// The witnesses: what a volume holds of a file besides the times of its own
// record, each joined to the file and each adding named facts to the file's
// record. This header registers them: the facts each one adds and the
// option that asks for it. How each is read and joined lives with its
// reader (probe/ntfs/, and the image side's parts); how its facts are
// printed, in the output schema (print/schema.cc); the signs it can raise,
// in probe/signs.cc.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>

#include "time/timestamp.h"

namespace qst {

// In the order their fields are printed.
enum class Witness : std::uint8_t {
  kFileName,   // the $FILE_NAME attribute by which the path reached the file
  kState,      // the record's in-use flag: deleted records are listed too
  kUsn,        // the USN change journal
  kSnapshots,  // the volume's shadow copies
  kIndex,      // the entry by which its folder's $I30 index lists the name
  kLog,        // the records of $LogFile that change its MFT record
  kReference,  // the record's own reference and its parent's: the keys to join on
};
inline constexpr int kWitnessCount = 7;

class WitnessSet {
 public:
  constexpr WitnessSet() = default;
  constexpr WitnessSet(std::initializer_list<Witness> witnesses) {
    for (Witness w : witnesses) add(w);
  }
  constexpr bool has(Witness w) const { return (bits_ >> static_cast<int>(w) & 1) != 0; }
  constexpr void add(Witness w) { bits_ |= 1u << static_cast<int>(w); }
  constexpr bool empty() const { return bits_ == 0; }
  constexpr bool overlaps(WitnessSet other) const { return (bits_ & other.bits_) != 0; }
  constexpr bool operator==(const WitnessSet&) const = default;

 private:
  std::uint32_t bits_ = 0;
};

// The witnesses whose fields carry the signs of forged times.
inline constexpr WitnessSet kSignCarriers = {Witness::kFileName, Witness::kUsn, Witness::kSnapshots,
                                             Witness::kIndex, Witness::kLog};

// Each fact a witness reads of a file, as a raw value: a FILETIME, a count
// or a flag. Four times in a row, access, write, change and creation, are a
// set with a verdict of their own.
enum class Fact : std::uint8_t {
  // $FILE_NAME: the four times of the name by which the path reached the
  // file.
  kNameAccess,
  kNameWrite,
  kNameChange,
  kNameCreation,
  // The change journal: the file's first File create record and last Basic
  // info change record, how many records it holds of the file, the first
  // and last times of the whole journal (what it covers), and whether a
  // close of the file changed its times or attributes alone.
  kUsnCreated,
  kUsnTimesSet,
  kUsnRecords,
  kUsnFirst,
  kUsnLast,
  kUsnTimesSetAlone,
  // A state read from a shadow copy: the copy's number and when it was
  // made.
  kSnapshotStore,
  kSnapshotCreated,
  // The name's entry in its folder's $I30 index: its four times, the sizes
  // it keeps (allocated, data), the sequence number of the file reference
  // it names, and whether that record now holds another file.
  kIndexAccess,
  kIndexWrite,
  kIndexChange,
  kIndexCreation,
  kIndexAllocated,
  kIndexSize,
  kIndexSequence,
  kIndexReused,
  // $LogFile: how many of its records change the file's MFT record, the
  // first and last of their LSNs, and whether one of them moved a time of
  // $STANDARD_INFORMATION back as a forger does.
  kLogRecords,
  kLogFirstLsn,
  kLogLastLsn,
  kLogMovedBack,
  // The file's reference: its MFT record's sequence number, and the record
  // and sequence number of the folder its name lies in (as the name's
  // $FILE_NAME gives them).
  kSequence,
  kParentRecord,
  kParentSequence,
  // Read for the signs alone, shown in no layout: whether a $LogFile record
  // set a creation time forward as a forger does; whether a current $SI
  // creation or write time is one the log never showed while it shows the
  // file's others; the creation of the 8.3 name beside the long name the
  // path went by (NTFS writes both $FILE_NAMEs at once); how many names the
  // record has, its 8.3 names not counted (its hard links).
  kLogMovedForward,
  kLogUnwritten,
  kShortNameCreation,
  kNameLinks,
  // Whether the file's creation lies in a span the clock ran twice: after
  // the journal shows it set back, until it reached again the time it was
  // set back from.
  kCreatedInClockSpan,
  // Read for the signs alone: the $FILE_NAME creation of the nearest
  // records before and after the file's that are in their first life, as
  // the file's own is (NTFS takes records in order of their numbers).
  kRecordBefore,
  kRecordAfter,
};
inline constexpr int kFactCount = 34;
static_assert(kFactCount <= 64, "Facts keeps a bit a fact");

enum class FactKind : std::uint8_t { kTime, kCount, kFlag };

struct FactInfo {
  Witness witness;
  FactKind kind;
  bool shown = true;  // false: read for the signs, never rendered
};
inline constexpr std::array<FactInfo, kFactCount> kFacts = {{
    {Witness::kFileName, FactKind::kTime},
    {Witness::kFileName, FactKind::kTime},
    {Witness::kFileName, FactKind::kTime},
    {Witness::kFileName, FactKind::kTime},
    {Witness::kUsn, FactKind::kTime},
    {Witness::kUsn, FactKind::kTime},
    {Witness::kUsn, FactKind::kCount},
    {Witness::kUsn, FactKind::kTime},
    {Witness::kUsn, FactKind::kTime},
    {Witness::kUsn, FactKind::kFlag},
    {Witness::kSnapshots, FactKind::kCount},
    {Witness::kSnapshots, FactKind::kTime},
    {Witness::kIndex, FactKind::kTime},
    {Witness::kIndex, FactKind::kTime},
    {Witness::kIndex, FactKind::kTime},
    {Witness::kIndex, FactKind::kTime},
    {Witness::kIndex, FactKind::kCount},
    {Witness::kIndex, FactKind::kCount},
    {Witness::kIndex, FactKind::kCount},
    {Witness::kIndex, FactKind::kFlag},
    {Witness::kLog, FactKind::kCount},
    {Witness::kLog, FactKind::kCount},
    {Witness::kLog, FactKind::kCount},
    {Witness::kLog, FactKind::kFlag},
    {Witness::kReference, FactKind::kCount},
    {Witness::kReference, FactKind::kCount},
    {Witness::kReference, FactKind::kCount},
    {Witness::kLog, FactKind::kFlag, false},
    {Witness::kLog, FactKind::kFlag, false},
    {Witness::kFileName, FactKind::kTime, false},
    {Witness::kFileName, FactKind::kCount, false},
    {Witness::kUsn, FactKind::kFlag, false},
    {Witness::kFileName, FactKind::kTime, false},
    {Witness::kFileName, FactKind::kTime, false},
}};

constexpr int Index(Fact f) { return static_cast<int>(f); }

// The time facts shown, numbered among themselves, for what keeps one
// thing a time (a record keeps each rendered): a fact's place, -1 for
// another kind or one never shown.
constexpr bool RenderedTime(const FactInfo& f) { return f.kind == FactKind::kTime && f.shown; }
inline constexpr int kTimeFactCount = [] {
  int n = 0;
  for (const FactInfo& f : kFacts) n += RenderedTime(f) ? 1 : 0;
  return n;
}();
inline constexpr std::array<int, kFactCount> kTimeSlot = [] {
  std::array<int, kFactCount> slots{};
  int n = 0;
  for (int i = 0; i < kFactCount; ++i) slots[i] = RenderedTime(kFacts[i]) ? n++ : -1;
  return slots;
}();

// The facts read of one file, each known or not. A fact not read is not
// known: it has no value, zero or otherwise.
class Facts {
 public:
  void Set(Fact f, std::uint64_t value) {
    value_[Index(f)] = value;
    known_ |= std::uint64_t{1} << Index(f);
  }
  bool Has(Fact f) const { return (known_ >> Index(f) & 1) != 0; }
  // The value of a fact that Has().
  std::uint64_t Get(Fact f) const { return value_[Index(f)]; }
  // Whether some fact of `w` is known.
  bool Any(Witness w) const {
    for (int i = 0; i < kFactCount; ++i)
      if (kFacts[i].witness == w && (known_ >> i & 1) != 0) return true;
    return false;
  }

 private:
  std::array<std::uint64_t, kFactCount> value_{};
  std::uint64_t known_ = 0;
};

// A step back of the clock that wrote a witness's records: at the record
// `at` (a USN), its time `to` follows `from` of the record before.
struct ClockStep {
  Witness witness = Witness::kUsn;
  std::uint64_t at = 0;
  FILETIME from = 0, to = 0;
};

// A moment a witness holds of a file beyond its facts, for a timeline: its
// time and what happened then, in the witness's own code (each journal
// record of the file, with its reason flags).
struct WitnessEvent {
  FILETIME time = 0;
  Witness witness = Witness::kUsn;
  std::uint32_t code = 0;
};

// What a witness is to the run, the one place each is described: its
// option and its lines in the help texts, its name among the witnesses of a
// finding, the evidence it may take from outside the image, whether it
// lists records of its own and whether it has a state in each shadow copy.
// The command line, the help texts and the image side read it; none of them
// names a witness.
struct WitnessDescriptor {
  Witness witness;
  char letter;
  const char* long_name;
  const char* help;   // in --help
  const char* usage;  // in -h's usage text
  // Its name among the witnesses that hold a file ("FN"); null for one that
  // holds no sign of its own.
  const char* finding = nullptr;
  // "--NAME=FILE": the witness's structure collected apart (or, for shadow
  // copies, the image that holds their data), handed to the image side.
  // NAME may be the witness's own long option, which then also takes
  // "=FILE". `apart_empty` is what is said of "--NAME=" without a name
  // (null: taken as not given).
  const char* apart = nullptr;
  const char* apart_empty = nullptr;
  // A stream named apart is listed alone (no image needed) where no
  // FILENAME is given.
  bool apart_lists = false;
  // "--NAME": the run lists the witness's own records instead of files.
  const char* listing = nullptr;
  // Given beside a listing of another witness's records (its facts lie in
  // each file's own record, which a listing never reads).
  bool beside_listing = false;
  // It has a state in each of the volume's shadow copies.
  bool per_store = false;
  // Its moments on a timeline are earlier times of the file, shown in the
  // text layouts as the file's own times are (rendered in the run's zone).
  bool earlier_times = false;
};
// In the order of Witness.
inline constexpr std::array<WitnessDescriptor, kWitnessCount> kWitnesses = {{
    {.witness = Witness::kFileName,
     .letter = 'n',
     .long_name = "name-times",
     .help = "  -n, --name-times        also the $FILE_NAME times and the signs of forged times\n",
     .usage = "      -n: with -d, also the $FILE_NAME times of each file and signs of forged "
              "times\n",
     .finding = "FN",
     .beside_listing = true},
    {.witness = Witness::kState,
     .letter = 'a',
     .long_name = "all",
     .help = "  -a, --all               also deleted files\n",
     .usage = "      -a: with -d, also deleted files; those whose folder is gone under "
              "C:\\$Orphan\\\n",
     .beside_listing = true},
    {.witness = Witness::kUsn,
     .letter = 'U',
     .long_name = "usn",
     .help = "  -U, --usn               also what the USN change journal holds of each file\n"
             "      --usn-journal=FILE  as -U, from a $UsnJrnl:$J stream collected apart\n"
             "      --journal-only      with -U, list the journal itself, record by record\n",
     .usage = "      -U: with -d, also what the volume's USN change journal holds of each file\n"
              "      --usn-journal=FILE: as -U, from a $UsnJrnl:$J stream collected apart\n"
              "      --journal-only: with -U, list the journal record by record instead of "
              "files\n"
              "                (so does --usn-journal=FILE without FILENAMEs, -d or not)\n",
     .finding = "USN",
     .apart = "usn-journal",
     .apart_lists = true,
     .listing = "journal-only"},
    {.witness = Witness::kSnapshots,
     .letter = 'S',
     .long_name = "snapshots",
     .help = "  -S, --snapshots         also each file's times in the volume's shadow copies\n"
             "      --shadow-storage=IMAGE\n"
             "                          as -S, the copies' data also read where Windows was\n"
             "                          told to keep it: the volume of IMAGE\n",
     .usage = "      -S: with -d, also each file's times in the volume's shadow copies\n"
              "      --shadow-storage=IMAGE: as -S, the copies' data also read from the volume "
              "of\n"
              "                IMAGE, where Windows was told to keep it (vssadmin add "
              "shadowstorage)\n",
     .finding = "VSS",
     .apart = "shadow-storage",
     .apart_empty = "qst: --shadow-storage= wants the image of the volume the shadow copies' "
                    "data lies on\n",
     .beside_listing = true,
     .per_store = true},
    {.witness = Witness::kIndex,
     .letter = 'I',
     .long_name = "index-entries",
     .help = "  -I, --index-entries     also each name's entry in its folder's $I30 index\n",
     .usage = "      -I: with -d, also each name's entry in its folder's $I30 index\n",
     .finding = "I30"},
    {.witness = Witness::kLog,
     .letter = 'L',
     .long_name = "logfile",
     .help = "  -L, --logfile           also what the $LogFile transaction log holds of each "
             "file\n"
             "      --logfile=FILE      as -L, from a $LogFile collected apart\n"
             "      --logfile-only      with -L, list the log itself, record by record\n",
     .usage = "      -L: with -d, also what the volume's $LogFile holds of each file\n"
              "      --logfile=FILE: as -L, from a $LogFile collected apart\n"
              "      --logfile-only: with -L, list the log record by record instead of files\n",
     .finding = "LOG",
     .apart = "logfile",
     .apart_empty = "qst: --logfile= wants the name of a $LogFile collected apart\n",
     .apart_lists = true,
     .listing = "logfile-only",
     .earlier_times = true},
    {.witness = Witness::kReference,
     .letter = 'K',
     .long_name = "references",
     .help = "  -K, --references        also each file's sequence number and its folder's "
             "reference\n",
     .usage = "      -K: with -d, also each file's MFT sequence number and its folder's record "
              "and\n"
              "          sequence number, to join files to the journal and the log\n"},
}};
inline const WitnessDescriptor& DescriptorOf(Witness w) { return kWitnesses[static_cast<int>(w)]; }

}  // namespace qst
