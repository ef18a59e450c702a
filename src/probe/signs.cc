#include "probe/signs.h"

#include <bit>
#include <cstring>
#include <iterator>

#include "objectid/objectid.h"

namespace qst {
namespace {

constexpr std::int64_t kDay = 86400 * kTicksPerSecond;
// How far an honest time may lie before another of the same clock, where a
// zone or a clock set wrong can move one of them: Windows Setup formats the
// volume under its own zone (Pacific time by default) before the owner's is
// chosen, up to 22 hours apart, and honest object IDs were measured up to
// 8.6 hours before their file's creation on Windows-made volumes. Times set
// by hand lie days to years back.
constexpr std::int64_t kClockSlack = 2 * kDay;
// Windows XP and 2003 keep time on a clock that ticks 64 times a second.
constexpr FILETIME kTick64 = kTicksPerSecond / 64;
// How far a creation time may precede the journal's record of it.
constexpr FILETIME kJournalSlack = 2 * kTicksPerSecond;

// The creation times of the name the path went by and of its 8.3 name,
// where the record has one: NTFS writes both at once, so that a forger who
// edits the long name alone leaves the short one to tell.
template <typename Test>
bool AnyNameCreation(const RawFileInfo& raw, Test test) {
  for (Fact f : {Fact::kNameCreation, Fact::kShortNameCreation})
    if (raw.facts.Has(f) && test(raw.facts.Get(f))) return true;
  return false;
}

bool SiBeforeFn(const RawFileInfo& raw) {
  return AnyNameCreation(raw, [&](FILETIME name) { return raw.basic.CreationTime < name; });
}

// A creation time set forward is as foreign to NTFS as one set back: only
// a program that sets times moves $SI's creation past the one NTFS wrote
// into the name as the file was made or last renamed. Times rounded to a
// coarser clock (whole or even seconds) move it less than 2 s.
bool SiAfterFn(const RawFileInfo& raw) {
  return AnyNameCreation(
      raw, [&](FILETIME name) { return raw.basic.CreationTime > name + 2 * kTicksPerSecond; });
}

bool SiSeconds(const RawFileInfo& raw) {
  if (!raw.facts.Has(Fact::kNameCreation)) return false;
  auto whole = [](FILETIME t) { return t % kTicksPerSecond == 0; };
  const FILE_BASIC_INFO& si = raw.basic;
  bool si_whole = whole(si.CreationTime) && whole(si.LastWriteTime) && whole(si.ChangeTime) &&
                  whole(si.LastAccessTime);
  bool fn_whole = true;
  for (Fact f : {Fact::kNameCreation, Fact::kNameWrite, Fact::kNameChange, Fact::kNameAccess})
    fn_whole = fn_whole && whole(raw.facts.Get(f));
  return si_whole && !fn_whole;
}

bool Whole(FILETIME t) { return t % kTicksPerSecond == 0; }

// SetFileTime sets the creation, write and access times and cannot set the
// change time, which NTFS writes from the clock: the three on whole seconds
// beside a change time that is not (nor on the 1/64-second clock of Windows
// XP, where whole seconds come one tick in 64) were set so, by a hand that
// typed them or a tool that kept seconds. A rename copies them into the
// name, so that the name cannot tell.
bool SetOnSeconds(const RawFileInfo& raw) {
  const FILE_BASIC_INFO& si = raw.basic;
  return si.ChangeTime % kTick64 != 0 && si.CreationTime != 0 && Whole(si.CreationTime) &&
         Whole(si.LastWriteTime) && Whole(si.LastAccessTime);
}

// A write time from an archive or a file system that keeps whole (or even)
// seconds, on a file made here.
bool Extracted(const RawFileInfo& raw) {
  return Whole(raw.basic.LastWriteTime) && !Whole(raw.basic.CreationTime) &&
         raw.basic.LastWriteTime < raw.basic.CreationTime;
}

bool Copied(const RawFileInfo& raw) {
  return raw.basic.LastWriteTime < raw.basic.CreationTime && !Extracted(raw);
}

// Every time of the file on the 1/64-second clock, not every one on a
// whole second: the grain of each time is the clock's, not a tool's. The
// volume's own creation, from the same clock, must lie on it too, so that
// a newer system's times that fall on it by chance (one in 156,250) are
// passed over.
bool Clock64(const RawFileInfo& raw) {
  if (raw.volume_created % kTick64 != 0) return false;
  const FILE_BASIC_INFO& si = raw.basic;
  const FILETIME times[] = {si.CreationTime, si.LastWriteTime, si.ChangeTime, si.LastAccessTime};
  bool whole = true;
  for (FILETIME t : times) {
    if (t % kTick64 != 0) return false;
    whole = whole && Whole(t);
  }
  return !whole;
}

// Every time, the name's too, on a whole second: the name took $SI's times
// (a rename or a move) after they came from a source that keeps seconds.
bool AllSeconds(const RawFileInfo& raw) {
  if (!raw.facts.Has(Fact::kNameCreation)) return false;
  const FILE_BASIC_INFO& si = raw.basic;
  for (FILETIME t : {si.CreationTime, si.LastWriteTime, si.ChangeTime, si.LastAccessTime})
    if (!Whole(t)) return false;
  for (Fact f : {Fact::kNameCreation, Fact::kNameWrite, Fact::kNameChange, Fact::kNameAccess})
    if (!Whole(raw.facts.Get(f))) return false;
  return true;
}

// Whether `t` lies before the volume was made, by more than a clock's slack.
bool BeforeVolume(const RawFileInfo& raw, FILETIME t) {
  return raw.volume_created > static_cast<FILETIME>(kClockSlack) &&
         t < raw.volume_created - kClockSlack;
}

bool SiCreatedBeforeVolume(const RawFileInfo& raw) {
  return BeforeVolume(raw, raw.basic.CreationTime);
}

bool FnCreatedBeforeVolume(const RawFileInfo& raw) {
  return raw.facts.Has(Fact::kNameCreation) &&
         BeforeVolume(raw, raw.facts.Get(Fact::kNameCreation));
}

// NTFS writes the change times from the clock; no copy tool or archive
// keeps them, and the name's are $SI's own, carried over by a rename.
bool ChangedBeforeVolume(const RawFileInfo& raw) {
  return BeforeVolume(raw, raw.basic.ChangeTime) ||
         (raw.facts.Has(Fact::kNameChange) && BeforeVolume(raw, raw.facts.Get(Fact::kNameChange)));
}

// An object ID born on this volume for this file: its time is when the
// file was first tracked here.
bool BornHere(const RawFileInfo& raw) {
  const FILE_OBJECTID_BUFFER& oid = raw.object_id;
  return raw.has_object_id && raw.has_volume_id &&
         std::memcmp(oid.BirthObjectId, oid.ObjectId, 16) == 0 &&
         std::memcmp(oid.BirthVolumeId, raw.volume_id, 16) == 0;
}

bool ObjectIdBeforeSi(const RawFileInfo& raw) {
  std::int64_t made = 0;
  const FILETIME created = raw.basic.CreationTime;
  return BornHere(raw) && ObjectIdTimeToFileTime(raw.object_id.ObjectId, &made) == 0 &&
         created < (1ull << 63) && made < static_cast<std::int64_t>(created) - kClockSlack;
}

bool SiBeforeJournal(const RawFileInfo& raw) {
  if (!raw.facts.Has(Fact::kUsnCreated)) return false;
  const FILETIME journal = raw.facts.Get(Fact::kUsnCreated);
  return journal > kJournalSlack && raw.basic.CreationTime < journal - kJournalSlack;
}

bool TimesSet(const RawFileInfo& raw) {
  return raw.facts.Has(Fact::kUsnTimesSetAlone) && raw.facts.Get(Fact::kUsnTimesSetAlone) != 0;
}

// Each state against every later one, the volume's own last.
bool History(const RawFileInfo& raw) {
  const std::vector<FILE_BASIC_INFO>& states = raw.history;
  for (std::size_t i = 0; i < states.size(); ++i) {
    const FILE_BASIC_INFO& then = states[i];
    for (std::size_t j = i + 1; j <= states.size(); ++j) {
      const FILE_BASIC_INFO& later = j < states.size() ? states[j] : raw.basic;
      if (later.CreationTime != then.CreationTime || later.LastWriteTime < then.LastWriteTime ||
          later.ChangeTime < then.ChangeTime)
        return true;
    }
  }
  return false;
}

// The name's entry in its folder's index keeps the creation time it had
// when a file opened by that name was last closed: a creation time set
// through Windows reaches it, one written into the record's bytes does not.
bool SiApartFromIndex(const RawFileInfo& raw) {
  return raw.facts.Has(Fact::kIndexCreation) &&
         raw.basic.CreationTime != raw.facts.Get(Fact::kIndexCreation);
}

// A file's entry in its folder's index takes the file's times as it is
// closed; a folder's lags behind its write time, and so does the entry of
// another hard link than the one a program opened. A write time earlier
// than the entry of a file's one name was set back around Windows.
bool WriteBeforeIndex(const RawFileInfo& raw) {
  return raw.facts.Has(Fact::kIndexWrite) && raw.facts.Has(Fact::kNameLinks) &&
         raw.facts.Get(Fact::kNameLinks) == 1 &&
         (raw.basic.FileAttributes & kFileAttributeDirectory) == 0 &&
         raw.basic.LastWriteTime < raw.facts.Get(Fact::kIndexWrite);
}

// A record in its first life was taken after the first-life record before
// it and before the one after it, and a file made in it then: its creation
// out of step with theirs by over 2 s came from elsewhere or was set. Where
// the two are out of step themselves, one of them is: the file is not
// weighed against them.
bool OutOfRecordOrder(const RawFileInfo& raw) {
  constexpr FILETIME kSlack = 2 * kTicksPerSecond;
  auto after = [&](FILETIME later, FILETIME earlier) {
    return later > earlier && later - earlier > kSlack;
  };
  const bool has_before = raw.facts.Has(Fact::kRecordBefore);
  const bool has_after = raw.facts.Has(Fact::kRecordAfter);
  const FILETIME before = has_before ? raw.facts.Get(Fact::kRecordBefore) : 0;
  const FILETIME next = has_after ? raw.facts.Get(Fact::kRecordAfter) : 0;
  if (has_before && has_after && after(before, next)) return false;
  const FILETIME created = raw.basic.CreationTime;
  return (has_before && after(before, created)) || (has_after && after(created, next));
}

bool Flag(const RawFileInfo& raw, Fact f) { return raw.facts.Has(f) && raw.facts.Get(f) != 0; }

bool InClockSpan(const RawFileInfo& raw) { return Flag(raw, Fact::kCreatedInClockSpan); }

bool LogMovedForward(const RawFileInfo& raw) { return Flag(raw, Fact::kLogMovedForward); }
bool LogUnwritten(const RawFileInfo& raw) { return Flag(raw, Fact::kLogUnwritten); }

// The log keeps the bytes a record change replaced: the judgement of which
// moves are a forger's is made as the log is joined (LogFileIndex).
bool LogMovedBack(const RawFileInfo& raw) { return Flag(raw, Fact::kLogMovedBack); }

constexpr SignRule kSignTable[] = {
    {"SI<FN", SignKind::kForgery, Witness::kFileName, "$SI creation before the $FILE_NAME creation",
     "$SI creation before the $FILE_NAME creation: programs set $SI, only NTFS sets $FILE_NAME",
     "a file extracted from an archive, or copied by a tool that keeps creation times", SiBeforeFn},
    {"SI>FN", SignKind::kForgery, Witness::kFileName,
     "$SI creation over 2 s after the $FILE_NAME creation",
     "$SI creation over 2 s after the $FILE_NAME creation: a creation time set forward, which "
     "NTFS never does",
     "a file overwritten in place by a copy or sync tool that sets its source's later creation "
     "time",
     SiAfterFn},
    {"SI-seconds", SignKind::kForgery, Witness::kFileName,
     "every $SI time on a whole second, some $FILE_NAME time not",
     "every $SI time on a whole second, some $FILE_NAME time not: set by a tool that keeps "
     "seconds",
     "a file extracted, with its times, from an archive or file system that keeps whole seconds",
     SiSeconds},
    {"set-seconds", SignKind::kForgery, std::nullopt,
     "$SI creation, write and access on whole seconds, the change time not",
     "$SI creation, write and access on whole seconds while the change time is not: SetFileTime "
     "sets those three and cannot set the change time, which NTFS writes from the clock",
     "a file whose three times a tool copied from a source that keeps whole seconds (robocopy "
     "from a camera's FAT card, an archive made on Unix that keeps creation and access times)",
     SetOnSeconds},
    {"ctime<volume", SignKind::kForgery, std::nullopt,
     "a change time over 2 days before the volume was made (-d)",
     "a change time over 2 days before the volume was made: NTFS writes it from the clock, and no "
     "copy tool or archive keeps it; a $FILE_NAME's is $SI's, carried over by a rename",
     "the clock set back over 2 days below the date the volume was formatted; a volume converted "
     "from FAT, whose files may keep times from before it",
     ChangedBeforeVolume, true},
    {"OID<SI", SignKind::kForgery, std::nullopt,
     "object ID made here over 2 days before the creation time",
     "object ID made on this volume over 2 days before the file's creation time (honest gaps "
     "measured reach 9 hours)",
     "a file saved anew under its old name by a program that carries the object ID over",
     ObjectIdBeforeSi},
    {"SI<USN", SignKind::kForgery, Witness::kUsn,
     "creation over 2 s before the journal's File create record",
     "creation over 2 s before the change journal's File create record of the same file",
     "a file extracted or copied with its creation time kept; the clock set back", SiBeforeJournal},
    {"times-set", SignKind::kForgery, Witness::kUsn,
     "the journal holds a close that set the file's times alone",
     "the change journal holds a close whose one change was the file's basic information, its "
     "attributes as at the file's close before (or its creation): its times alone",
     "archive extractors, installers and copy tools that set times on a file they did not write",
     TimesSet},
    {"history", SignKind::kForgery, Witness::kSnapshots,
     "the same file's times went back across its shadow copies",
     "the same file's times went where time does not go across its shadow copies",
     "the clock set back between two copies; a file restored from a backup", History},
    {"SI!=I30", SignKind::kForgery, Witness::kIndex,
     "$SI creation unlike the creation time of the name's $I30 entry",
     "$SI creation unlike the creation in the name's $I30 entry, which Windows keeps in step: "
     "the record's bytes were edited",
     "a file open, or its changes not yet written, when the volume was imaged; another hard "
     "link of the file, whose entry lags",
     SiApartFromIndex},
    {"mtime<I30", SignKind::kForgery, Witness::kIndex,
     "a file's $SI write time before the write time of its $I30 entry",
     "a file's $SI write time before the write time in its name's $I30 entry, which Windows "
     "writes from $SI as the file is closed: the write time was set back in the record's bytes",
     "a live volume imaged while the file's record was not yet written and its entry was; a "
     "file whose times a program set back while it was still open then",
     WriteBeforeIndex},
    {"LOG-back", SignKind::kForgery, Witness::kLog,
     "$LogFile shows a time set back on a file that was not new",
     "$LogFile shows $SI creation or write set earlier than a value it showed before, on a file "
     "made over an hour before the change time that record writes (a write time only while the "
     "change time went on): what a tool that sets times does",
     "an installer or a sync tool that sets a file's times from its source after changing it in "
     "place (a copy or an extraction sets them on a file made moments before, and does not fire "
     "it; nor does a clock set back, which moves the change time back with the write time and "
     "never a creation time)",
     LogMovedBack},
    {"LOG-fwd", SignKind::kForgery, Witness::kLog,
     "$LogFile shows a creation time set forward on a file that was not new",
     "$LogFile shows $SI creation set over 2 s later than a value it showed before, on a file "
     "made over an hour before the change time that record writes: NTFS never moves a creation "
     "forward, a tool that sets times does",
     "a copy or sync tool that overwrites a file in place and sets its source's later creation "
     "time",
     LogMovedForward},
    {"SI!=LOG", SignKind::kForgery, Witness::kLog,
     "$SI creation or write is a value $LogFile never wrote, though it shows others",
     "$SI creation or write is a value no $LogFile record of the file shows, while records show "
     "the file's others: every change after the first of them is logged, so the value was "
     "written around NTFS, in the record's bytes",
     "a record rewritten by a tool or a driver that keeps no log (a repair, a Linux driver) "
     "while the log still held the file's earlier records",
     LogUnwritten},
    {"copied", SignKind::kProvenance, std::nullopt, "write time before creation time",
     "write time before creation time: copied with its times kept, or set back",
     "every copy made in Explorer or by copy: the write time is kept, the creation is new", Copied},
    {"extracted", SignKind::kProvenance, std::nullopt,
     "write time on a whole second, before a creation time that is not",
     "write time on a whole second before a creation time that is not: from an archive or a file "
     "system that keeps seconds, onto a file made here",
     "files extracted from ZIP or TAR archives, or copied from FAT, CD or Unix media", Extracted},
    {"seconds", SignKind::kProvenance, Witness::kFileName,
     "every $SI and $FILE_NAME time on a whole second",
     "every $SI and $FILE_NAME time on a whole second: the name took $SI's times (a rename or "
     "a move) after they came from a source that keeps seconds, or were set so",
     "files extracted or copied with their times kept from an archive or a file system that keeps "
     "seconds, then renamed or moved",
     AllSeconds},
    {"SI<volume", SignKind::kProvenance, std::nullopt,
     "$SI creation over 2 days before the volume was made (-d)",
     "$SI creation over 2 days before the volume was made: the time came with the file, or was "
     "set back",
     "files copied by a tool that keeps creation times (robocopy, backups), extracted from an "
     "archive that keeps them, or restored",
     SiCreatedBeforeVolume, true},
    {"FN<volume", SignKind::kProvenance, Witness::kFileName,
     "$FILE_NAME creation over 2 days before the volume was made",
     "$FILE_NAME creation over 2 days before the volume was made: NTFS carried $SI's creation "
     "into the name on a rename or a move after $SI was set back",
     "a file copied or extracted with its creation time kept, then renamed or moved",
     FnCreatedBeforeVolume, true},
    {"out-of-order", SignKind::kProvenance, Witness::kFileName,
     "$SI creation out of step with the files of the MFT records beside it",
     "$SI creation over 2 s before the $FILE_NAME creation of the nearest MFT record before it, "
     "or after the one after it, all three in their first life: NTFS takes free records lowest "
     "first, so such records were made in the order of their numbers",
     "a file copied or moved from another volume by a tool that keeps creation times (robocopy, "
     "a move in Explorer), or extracted with them; a record beside it renamed after such a copy",
     OutOfRecordOrder},
    {"clock-1/64", SignKind::kClock, std::nullopt,
     "every time on the 1/64-second clock of Windows XP and 2003",
     "every time on the 1/64-second clock of Windows XP and 2003, as the volume's creation is: "
     "the grain of the times, and so the TYPE verdict, is that clock's, not a tool's",
     "every file written by Windows XP or Server 2003", Clock64},
    {"clock-back", SignKind::kClock, Witness::kUsn,
     "created in a span the journal shows the clock ran twice",
     "creation inside a span the change journal shows the clock ran twice: after a record whose "
     "time goes back over a minute from the one before it, up to that earlier time; files "
     "made then look older than they are",
     "every file made honestly in that span before the clock went back; a clock corrected by "
     "hand or by time synchronisation after it ran fast",
     InClockSpan},
};
static_assert(std::size(kSignTable) <= kMaxSigns, "SignSet keeps a bit a sign");

// The bits of the signs of a kind, or of those that weigh the volume's
// creation: a file's signs are sorted by a mask, not a walk of the table.
template <typename Test>
constexpr std::uint32_t SignBits(Test test) {
  std::uint32_t bits = 0;
  for (std::size_t i = 0; i < std::size(kSignTable); ++i)
    if (test(kSignTable[i])) bits |= 1u << i;
  return bits;
}
constexpr std::uint32_t kForgeryBits =
    SignBits([](const SignRule& s) { return s.kind == SignKind::kForgery; });
constexpr std::uint32_t kProvenanceBits =
    SignBits([](const SignRule& s) { return s.kind == SignKind::kProvenance; });
constexpr std::uint32_t kVolumeBits = SignBits([](const SignRule& s) { return s.weighs_volume; });

}  // namespace

constinit const std::span<const SignRule> kSigns = kSignTable;

SignSet ReadSigns(const RawFileInfo& raw) {
  SignSet signs;
  for (std::size_t i = 0; i < kSigns.size(); ++i)
    if (kSigns[i].fires(raw)) signs.add(i);
  return signs;
}

SignSet SignSet::Alerts() const { return SignSet(bits_ & kForgeryBits); }

SignSet SignSet::Notes() const { return SignSet(bits_ & ~kForgeryBits); }

const char* FindingWitnessName(int bit) {
  if (bit == kObjectIdBit) return "OID";
  return bit >= 0 && bit < kWitnessCount ? kWitnesses[static_cast<std::size_t>(bit)].finding
                                         : nullptr;
}

std::uint8_t SignWitnesses(const RawFileInfo& raw) {
  auto some = [&](Fact f) { return raw.facts.Has(f) && raw.facts.Get(f) != 0; };
  std::uint8_t read = 0;
  if (raw.facts.Has(Fact::kNameCreation)) read |= FindingBit(Witness::kFileName);
  if (some(Fact::kUsnRecords)) read |= FindingBit(Witness::kUsn);
  if (!raw.history.empty()) read |= FindingBit(Witness::kSnapshots);
  if (raw.facts.Has(Fact::kIndexCreation)) read |= FindingBit(Witness::kIndex);
  if (some(Fact::kLogRecords)) read |= FindingBit(Witness::kLog);
  if (BornHere(raw)) read |= static_cast<std::uint8_t>(1u << kObjectIdBit);
  return read;
}

Finding FindingOf(SignSet signs, std::uint8_t witnesses) {
  if ((signs.bits() & kForgeryBits) != 0) return Finding::kSuspect;
  if ((signs.bits() & kProvenanceBits) != 0) return Finding::kProvenance;
  return witnesses == 0 ? Finding::kUnread : Finding::kConsistent;
}

const char* FindingName(Finding f) {
  static constexpr const char* kNames[] = {"unread", "consistent", "provenance", "suspect"};
  return kNames[static_cast<int>(f)];
}

void AppendFindingText(SignSet signs, std::uint8_t witnesses, std::uint8_t lost, std::string* out) {
  out->append(FindingName(FindingOf(signs, witnesses)));
  if (witnesses == 0 && lost == 0) return;
  // The names of `bits`, the first after `separator`, the others after a space.
  auto names = [out](std::uint8_t bits, const char* separator) {
    for (int w = 0; w < kFindingBits; ++w) {
      const char* name = FindingWitnessName(w);
      if ((bits >> w & 1) == 0 || name == nullptr) continue;
      out->append(separator).append(name);
      separator = " ";
    }
  };
  names(witnesses, " (");
  names(lost, witnesses == 0 ? " (lost " : "; lost ");
  out->push_back(')');
}

bool WeighsVolume(SignSet signs) { return (signs.bits() & kVolumeBits) != 0; }

void AppendSignNames(SignSet signs, const char* separator, std::string* out) {
  bool first = true;
  for (std::uint32_t bits = signs.bits(); bits != 0; bits &= bits - 1) {
    if (!first) out->append(separator);
    out->append(kSigns[static_cast<std::size_t>(std::countr_zero(bits))].name);
    first = false;
  }
}

}  // namespace qst
