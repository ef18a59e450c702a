#include "print/schema.h"

#include "print/listings/journal.h"
#include "print/listings/log.h"
#include "probe/witnesses/usn/usn-journal.h"
#include "util/text.h"

namespace qst {
namespace {

constexpr Column kNameColumns[] = {
    {Cell::kTime, Fact::kNameAccess, " FN at: ", "FN atime", "fn_atime", "atime", true},
    {Cell::kTime, Fact::kNameWrite, " FN mt: ", "FN mtime", "fn_mtime", "mtime", true},
    {Cell::kTime, Fact::kNameChange, " FN ct: ", "FN ctime", "fn_ctime", "ctime", true},
    {Cell::kTime, Fact::kNameCreation, "FN crt: ", "FN crtime", "fn_crtime", "crtime", true},
    {Cell::kVerdict, Fact::kNameAccess, "FNtype: ", "FN TYPE", "fn_type", "name_type"},
};
constexpr TimeSet kNameTimes = {
    Fact::kNameAccess,
    " ($FILE_NAME)",
    "FN",
    {"$FN Creation Time", "$FN Modification Time", "$FN Change Time", "$FN Access Time"},
    "$FN"};

constexpr Column kStateColumns[] = {
    {Cell::kState, Fact::kNameAccess, " state: ", "state", "state", "state", false, "state"},
};

constexpr Column kUsnColumns[] = {
    {Cell::kTime, Fact::kUsnCreated, "USN cr: ", "USN created", "usn_created", "created", true},
    {Cell::kTime, Fact::kUsnTimesSet, "USNset: ", "USN times set", "usn_times_set", "times_set",
     true},
    {Cell::kCount, Fact::kUsnRecords, "USNrec: ", "USN records", "usn_records", "records", true},
    {Cell::kTime, Fact::kUsnFirst, "USN fr: ", "USN first", "usn_first", "first", true},
    {Cell::kTime, Fact::kUsnLast, "USN to: ", "USN last", "usn_last", "last", true},
};

std::string UsnEventText(std::uint32_t reasons) { return "$UsnJrnl: " + UsnReasonText(reasons); }
// A journal record is a change of the file's entry, as plaso has it.
const char* UsnEventDesc(std::uint32_t) { return kPlasoTimes[2]; }

// The copy's number and time are one field in the text layouts and CSV's
// two columns, an object in JSON.
constexpr Column kSnapshotColumns[] = {
    {Cell::kStore, Fact::kSnapshotStore, "  snap: ", "snapshot", "snapshot,snapshot_created",
     nullptr},
    {Cell::kCount, Fact::kSnapshotStore, nullptr, nullptr, nullptr, "store", true, "snapshot"},
    {Cell::kTime, Fact::kSnapshotCreated, nullptr, nullptr, nullptr, "created", true},
};

constexpr Column kIndexColumns[] = {
    {Cell::kTime, Fact::kIndexAccess, "I30 at: ", "I30 atime", "i30_atime", "atime", true},
    {Cell::kTime, Fact::kIndexWrite, "I30 mt: ", "I30 mtime", "i30_mtime", "mtime", true},
    {Cell::kTime, Fact::kIndexChange, "I30 ct: ", "I30 ctime", "i30_ctime", "ctime", true},
    {Cell::kTime, Fact::kIndexCreation, "I30crt: ", "I30 crtime", "i30_crtime", "crtime", true},
    {Cell::kCount, Fact::kIndexAllocated, "I30 al: ", "I30 allocated", "i30_allocated", "allocated",
     true},
    {Cell::kCount, Fact::kIndexSize, "I30 sz: ", "I30 size", "i30_size", "size", true},
    {Cell::kCount, Fact::kIndexSequence, "I30 sq: ", "I30 sequence", "i30_sequence", "sequence",
     true},
    {Cell::kFlag, Fact::kIndexReused, "I30 ru: ", "I30 reused", "i30_reused", "reused", true},
};
constexpr TimeSet kIndexTimes = {
    Fact::kIndexAccess,
    " ($I30)",
    "I30",
    {"$I30 Creation Time", "$I30 Modification Time", "$I30 Change Time", "$I30 Access Time"},
    "$I30",
    " ($I30 slack)",
    {"$I30 slack Creation Time", "$I30 slack Modification Time", "$I30 slack Change Time",
     "$I30 slack Access Time"}};

// The log's records of the file: how many, their LSNs, and the
// $STANDARD_INFORMATION times they show that differ from the current ones.
constexpr Column kLogColumns[] = {
    {Cell::kCount, Fact::kLogRecords, "LOGrec: ", "LOG records", "log_records", "records", true},
    {Cell::kCount, Fact::kLogFirstLsn, "LOG fr: ", "LOG first LSN", "log_first_lsn", "first_lsn",
     true},
    {Cell::kCount, Fact::kLogLastLsn, "LOG to: ", "LOG last LSN", "log_last_lsn", "last_lsn", true},
    {Cell::kEarlier, Fact::kLogRecords, "LOG SI: ", "LOG earlier SI", "log_earlier_si",
     "earlier_si", true},
};

// The keys a file joins on: its record (the index) with its sequence
// number, and its folder's record and sequence number.
// The join keys: in every event of the file too, as examiners search on them.
constexpr Column kReferenceColumns[] = {
    {Cell::kCount, Fact::kSequence, "   seq: ", "seq", "sequence", "sequence", false, "sequence"},
    {Cell::kCount, Fact::kParentRecord, "parent: ", "parent", "parent_record", "parent_record",
     false, "parent_record"},
    {Cell::kCount, Fact::kParentSequence, "par sq: ", "parent seq", "parent_sequence",
     "parent_sequence", false, "parent_sequence"},
};

const char* LogEventDesc(std::uint32_t field) { return kPlasoTimes[field & 3]; }

std::string LogEventText(std::uint32_t field) {
  static constexpr const char* kFields[] = {"Creation", "Modification", "Change", "Access"};
  return std::string("$LogFile: earlier $SI ") + kFields[field & 3] + " Time";
}

}  // namespace

const char* EarlierFieldName(std::uint32_t code) {
  static constexpr const char* kNames[] = {"crtime", "mtime", "ctime", "atime"};
  return kNames[code & 3];
}

namespace {
constexpr Column kSignColumnTable[] = {
    {Cell::kAlerts, Fact::kNameAccess, "alerts: ", "alerts", "alerts", "alerts", false, "alerts"},
    {Cell::kNotes, Fact::kNameAccess, " notes: ", "notes", "notes", "notes", false, "notes"},
    {Cell::kFinding, Fact::kNameAccess, "  find: ", "finding", "finding", "finding", false,
     "finding"},
};
}  // namespace

constinit const std::span<const Column> kSignColumns = kSignColumnTable;

const std::array<FieldGroup, kWitnessCount> kFieldGroups = {{
    {Witness::kFileName, kNameColumns, "name_times", true, false, false, &kNameTimes},
    {.witness = Witness::kState, .columns = kStateColumns, .block_first = true},
    {Witness::kUsn, kUsnColumns, "usn", false, false, false, nullptr, "USN", UsnEventText,
     UsnEventDesc, &kJournalListing},
    {Witness::kSnapshots, kSnapshotColumns, "snapshot", false, true, true},
    {Witness::kIndex, kIndexColumns, "index_entry", false, false, true, &kIndexTimes},
    {Witness::kLog, kLogColumns, "logfile", false, false, true, nullptr, "LOG", LogEventText,
     LogEventDesc, &kLogListing},
    {Witness::kReference, kReferenceColumns},
}};

namespace {

constexpr Weighed kWeighedTable[] = {
    {"SI<FN", "$SI creation", &FileTimestampRecord::crtime, "$FN creation", Fact::kNameCreation},
    {"SI>FN", "$SI creation", &FileTimestampRecord::crtime, "$FN creation", Fact::kNameCreation},
    {"SI-seconds", "$SI creation", &FileTimestampRecord::crtime, "$FN creation",
     Fact::kNameCreation},
    {"ctime<volume", "$SI change", &FileTimestampRecord::ctime, "$FN change", Fact::kNameChange},
    {"OID<SI", "$SI creation", &FileTimestampRecord::crtime, "object ID made", std::nullopt},
    {"SI<USN", "$SI creation", &FileTimestampRecord::crtime, "journal's File create",
     Fact::kUsnCreated},
    {"SI!=I30", "$SI creation", &FileTimestampRecord::crtime, "$I30 creation",
     Fact::kIndexCreation},
};

constexpr ChartLine kChartLineTable[] = {
    {Fact::kNameCreation, "fnline", "$FILE_NAME", "blue line: the $FILE_NAME creation times",
     "$FILE_NAME creation time", "$FILE_NAME creation times", "$FILE_NAME creation", 180},
    {Fact::kUsnCreated, "usn", "Journal", "dashed line: the journal's File create records",
     "journal File create record", "journal File create records", "journal: File create", 180},
};

}  // namespace

constinit const std::span<const Weighed> kWeighed = kWeighedTable;
constinit const std::span<const ChartLine> kChartLines = kChartLineTable;
const ChartStores kChartStores = {"shadow copy", "dotted lines: the shadow copies, by number",
                                  "shadow copy", "shadow copies",
                                  "shadow copy", 130};

bool ListsDeleted(RecordFields fields) { return fields.has(Witness::kState); }

std::string StoreText(const FileTimestampRecord& r, StoreTextForm form) {
  if (!r.in_store()) return {};
  const std::string n = std::to_string(r.store());
  return form == StoreTextForm::kBody ? " (snapshot " + n + ")" : " in shadow copy " + n;
}

EventKind EventKindOf(const FileTimestampRecord& r, std::string_view source) {
  if (source == "SI")
    return r.file_reference ? EventKind{"fs:stat:ntfs", 0x10} : EventKind{"fs:stat", 0};
  if (source == "FN") return {"fs:stat:ntfs", 0x30};
  if (source == "I30") return {"fs:ntfs:index_entry", 0};
  if (source == "USN") return {"fs:ntfs:usn_change", 0};
  if (source == "LOG") return {"fs:ntfs:logfile", 0};
  return {"fs:stat", 0};
}

const TimeSet kRecordTimes = {
    Fact::kNameAccess,
    "",
    "SI",
    {"$SI Creation Time", "$SI Modification Time", "$SI Change Time", "$SI Access Time"},
    "$SI"};

const FieldGroup* SignsGroup(RecordFields fields) {
  for (const FieldGroup& g : kFieldGroups)
    if (kSignCarriers.has(g.witness) && fields.has(g.witness)) return &g;
  return nullptr;
}

std::vector<const TimeSet*> TimeSetsShown(RecordFields fields) {
  std::vector<const TimeSet*> sets = {&kRecordTimes};
  for (const FieldGroup& g : kFieldGroups)
    if (g.times != nullptr && fields.has(g.witness)) sets.push_back(g.times);
  return sets;
}

bool HasTimes(const FileTimestampRecord& r, const TimeSet& set) {
  return &set == &kRecordTimes ? !r.slack : r.facts.Has(set.access);
}

std::array<const RenderedTimestamp*, 4> TimesOf(const FileTimestampRecord& r, const TimeSet& set) {
  if (&set == &kRecordTimes) return {&r.crtime, &r.mtime, &r.ctime, &r.atime};
  const int a = Index(set.access);
  auto time = [&](int i) { return &r.Time(static_cast<Fact>(a + i)); };
  return {time(3), time(1), time(2), time(0)};
}

const char* StateText(const FileTimestampRecord& r) {
  return r.slack ? "slack" : r.deleted ? "deleted" : "in use";
}

void AppendSignText(const Column& c, const FileTimestampRecord& r, std::string* out) {
  if (c.cell == Cell::kAlerts)
    AppendSignNames(r.signs.Alerts(), " ", out);
  else if (c.cell == Cell::kNotes)
    AppendSignNames(r.signs.Notes(), " ", out);
  else if (r.slack)
    out->append("null");
  else
    AppendFindingText(r.signs, r.witnessed, r.lost, out);
}

void AppendCountOrNull(const FileTimestampRecord& r, Fact f, std::string* out) {
  if (r.facts.Has(f))
    AppendNumber(r.facts.Get(f), out);
  else
    out->append("null");
}

void AppendEarlierText(const Column& c, const FileTimestampRecord& r, const char* null_text,
                       bool rendered, std::string* out) {
  if (!r.facts.Has(c.fact)) {
    out->append(null_text);
    return;
  }
  const Witness w = kFacts[Index(c.fact)].witness;
  bool any = false;
  std::size_t at = 0;  // in earlier_times, of the events so far
  for (const WitnessEvent& e : r.events) {
    const bool held = DescriptorOf(e.witness).earlier_times;
    const std::size_t slot = held ? at++ : 0;
    if (e.witness != w) continue;
    if (any) out->append(rendered ? ", " : " ");
    out->append(EarlierFieldName(e.code)).push_back(':');
    // As the other times are shown, where the record holds them so.
    if (rendered && held && slot < r.earlier_times.size()) {
      const RenderedTimestamp& t = r.earlier_times[slot];
      out->append(t.Text()).append(" ").append(t.zone);
    } else {
      AppendNumber(e.time, out);
    }
    any = true;
  }
  if (!any) out->append("none");
}

void AppendEarlierJson(const Column& c, const FileTimestampRecord& r, std::string* out) {
  if (!r.facts.Has(c.fact)) {
    out->append("null");
    return;
  }
  const Witness w = kFacts[Index(c.fact)].witness;
  char open = '[';
  for (const WitnessEvent& e : r.events) {
    if (e.witness != w) continue;
    out->push_back(open);
    open = ',';
    out->append("{\"time\":\"").append(EarlierFieldName(e.code)).append("\",\"filetime\":");
    AppendNumber(e.time, out);
    out->push_back('}');
  }
  out->append(open == '[' ? "[]" : "]");
}

const FieldGroup& GroupOf(Witness w) { return kFieldGroups[static_cast<int>(w)]; }

}  // namespace qst
