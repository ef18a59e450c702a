#include "probe/signs.h"

#include <cstring>
#include <iterator>

#include "objectid/objectid.h"

namespace qst {
namespace {

constexpr std::int64_t kDay = 86400 * kTicksPerSecond;
// How far a creation time may precede the journal's record of it.
constexpr FILETIME kJournalSlack = 2 * kTicksPerSecond;

bool SiBeforeFn(const RawFileInfo& raw) {
  return raw.facts.Has(Fact::kNameCreation) &&
         raw.basic.CreationTime < raw.facts.Get(Fact::kNameCreation);
}

// A creation time set forward is as foreign to NTFS as one set back: only
// a program that sets times moves $SI's creation past the one NTFS wrote
// into the name as the file was made or last renamed. Times rounded to a
// coarser clock (whole or even seconds) move it less than 2 s.
bool SiAfterFn(const RawFileInfo& raw) {
  return raw.facts.Has(Fact::kNameCreation) &&
         raw.basic.CreationTime > raw.facts.Get(Fact::kNameCreation) + 2 * kTicksPerSecond;
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

bool Copied(const RawFileInfo& raw) { return raw.basic.LastWriteTime < raw.basic.CreationTime; }

bool ObjectIdBeforeSi(const RawFileInfo& raw) {
  const FILE_OBJECTID_BUFFER& oid = raw.object_id;
  std::int64_t made = 0;
  const FILETIME created = raw.basic.CreationTime;
  return raw.has_object_id && raw.has_volume_id &&
         std::memcmp(oid.BirthObjectId, oid.ObjectId, 16) == 0 &&
         std::memcmp(oid.BirthVolumeId, raw.volume_id, 16) == 0 &&
         ObjectIdTimeToFileTime(oid.ObjectId, &made) == 0 && created < (1ull << 63) &&
         made < static_cast<std::int64_t>(created) - kDay;
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

// The log keeps the bytes a record change replaced: the judgement of which
// moves are a forger's is made as the log is joined (LogFileIndex).
bool LogMovedBack(const RawFileInfo& raw) {
  return raw.facts.Has(Fact::kLogMovedBack) && raw.facts.Get(Fact::kLogMovedBack) != 0;
}

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
    {"copied", SignKind::kProvenance, std::nullopt, "write time before creation time",
     "write time before creation time: copied or extracted with its times kept, or set back",
     "every copy made in Explorer or by copy: the write time is kept, the creation is new", Copied},
    {"OID<SI", SignKind::kForgery, std::nullopt,
     "object ID made here more than a day before the creation time",
     "object ID made on this volume over a day before the file's creation time",
     "a file saved anew under its old name by a program that carries the object ID over",
     ObjectIdBeforeSi},
    {"SI<USN", SignKind::kForgery, Witness::kUsn,
     "creation over 2 s before the journal's File create record",
     "creation over 2 s before the change journal's File create record of the same file",
     "a file extracted or copied with its creation time kept; the clock set back", SiBeforeJournal},
    {"times-set", SignKind::kForgery, Witness::kUsn,
     "the journal holds a close that set the file's times alone",
     "the change journal holds a close whose one change was the file's basic information, its "
     "attributes as before: its times alone",
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
    {"LOG-back", SignKind::kForgery, Witness::kLog,
     "$LogFile shows a time set back on a file that was not new",
     "$LogFile shows $SI creation or write set earlier than the value it replaced, on a file made "
     "over an hour before, while the change time went on: what a tool that sets times does",
     "an installer or a sync tool that sets a file's times from its source after changing it in "
     "place (a copy or an extraction sets them on a file made moments before, and does not fire "
     "it; nor does a clock set back, which moves the change time back too)",
     LogMovedBack},
};
static_assert(std::size(kSignTable) <= kMaxSigns, "SignSet keeps a bit a sign");

}  // namespace

constinit const std::span<const SignRule> kSigns = kSignTable;

SignSet ReadSigns(const RawFileInfo& raw) {
  SignSet signs;
  for (std::size_t i = 0; i < kSigns.size(); ++i)
    if (kSigns[i].fires(raw)) signs.add(i);
  return signs;
}

void AppendSignNames(SignSet signs, const char* separator, std::string* out) {
  bool first = true;
  for (std::size_t i = 0; i < kSigns.size(); ++i) {
    if (!signs.has(i)) continue;
    if (!first) out->append(separator);
    out->append(kSigns[i].name);
    first = false;
  }
}

}  // namespace qst
