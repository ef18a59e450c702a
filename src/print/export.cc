// The forms other programs read of a file's record: JSON Lines, RFC 4180
// CSV, the body file of mactime and events for timeline tools. Times are
// UTC, to the 100 ns, whatever the display options.
#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "print/form-text.h"
#include "print/layout.h"
#include "print/schema.h"
#include "probe/utf16.h"

namespace qst {
namespace {

void AppendJsonTimes(const RenderedTimestamp& a, const RenderedTimestamp& m,
                     const RenderedTimestamp& c, const RenderedTimestamp& cr, std::string* out) {
  static constexpr const char* kKeys[] = {
      "{\"atime\":", ",\"mtime\":", ",\"ctime\":", ",\"crtime\":"};
  const RenderedTimestamp* times[] = {&a, &m, &c, &cr};
  // A file's times are often equal: a value written before is copied.
  std::size_t start[4], length[4];
  for (int i = 0; i < 4; ++i) {
    out->append(kKeys[i]);
    int same = 0;
    while (same < i && times[same]->raw != times[i]->raw) ++same;
    start[i] = out->size();
    if (same < i) {
      // Room first, so that the bytes copied stay where they are.
      out->reserve(out->size() + length[same]);
      out->append(out->data() + start[same], length[same]);
    } else {
      AppendJsonTime(*times[i], true, out);
    }
    length[i] = out->size() - start[i];
  }
  out->push_back('}');
}

// [...] of the names of `signs`.
void AppendJsonSignNames(SignSet signs, std::string* out) {
  char open = '[';
  for (std::size_t i = 0; i < kSigns.size(); ++i) {
    if (!signs.has(i)) continue;
    out->push_back(open);
    open = ',';
    AppendJsonString(kSigns[i].name, out);
  }
  out->append(open == '[' ? "[]" : "]");
}

// A JSON array of the witnesses set in `bits` (FindingBit): ["FN","I30"].
void AppendJsonWitnesses(std::uint8_t bits, std::string* out) {
  char open = '[';
  for (int w = 0; w < kFindingBits; ++w) {
    const char* name = FindingWitnessName(w);
    if ((bits >> w & 1) == 0 || name == nullptr) continue;
    out->push_back(open);
    open = ',';
    out->append("\"").append(name).append("\"");
  }
  out->append(open == '[' ? "[]" : "]");
}

// {"verdict":...,"witnesses":[...]} of the record's finding, with
// "lost":[...] only where damage cost a witness; null for an entry found
// in slack, which has no file to judge.
void AppendJsonFinding(const FileTimestampRecord& r, std::string* out) {
  if (r.slack) {
    out->append("null");
    return;
  }
  out->append("{\"verdict\":\"")
      .append(FindingName(FindingOf(r.signs, r.witnessed)))
      .append("\",\"witnesses\":");
  AppendJsonWitnesses(r.witnessed, out);
  if (r.lost != 0) {
    out->append(",\"lost\":");
    AppendJsonWitnesses(r.lost, out);
  }
  out->push_back('}');
}

// A column of the signs in JSON, after its key.
void AppendJsonSignCell(const Column& c, const FileTimestampRecord& r, std::string* out) {
  out->append(",\"").append(c.json).append("\":");
  if (c.cell == Cell::kFinding)
    AppendJsonFinding(r, out);
  else
    AppendJsonSignNames(c.cell == Cell::kAlerts ? r.signs.Alerts() : r.signs.Notes(), out);
}

// A column's value in JSON: a time or a count, null when not read.
void AppendJsonValue(const Column& c, const FileTimestampRecord& r, std::string* out) {
  switch (c.cell) {
    case Cell::kTime: AppendJsonTimeOrNull(r.facts.Has(c.fact), r.Time(c.fact), out); break;
    case Cell::kCount: AppendCountOrNull(r, c.fact, out); break;
    case Cell::kVerdict: {
      const char* verdict = r.Verdict(c.fact);
      AppendJsonStringOrNull(verdict != nullptr, verdict != nullptr ? verdict : "", out);
      break;
    }
    case Cell::kFlag:
      out->append(!r.facts.Has(c.fact) ? "null" : r.facts.Get(c.fact) != 0 ? "true" : "false");
      break;
    case Cell::kState: AppendJsonString(StateText(r), out); break;
    case Cell::kEarlier: AppendEarlierJson(c, r, out); break;
    case Cell::kAlerts:
    case Cell::kNotes:
    case Cell::kFinding:
    case Cell::kStore: break;
  }
}

// ,"key":{...} of a group's columns that lie in its object; null when none
// of their facts was read.
void AppendJsonObject(const FieldGroup& g, const FileTimestampRecord& r, std::string* out) {
  out->append(",\"").append(g.json_object).append("\":");
  bool known = false;
  for (const Column& c : g.columns) known = known || (c.in_object && r.facts.Has(c.fact));
  if (!known) {
    out->append("null");
    return;
  }
  char open = '{';
  for (const Column& c : g.columns) {
    if (!c.in_object) continue;
    out->push_back(open);
    open = ',';
    out->append("\"").append(c.json).append("\":");
    AppendJsonValue(c, r, out);
  }
  out->push_back('}');
}

// The JSON members of a group, the signs among them where it carries them;
// `signs_only`: those alone, `no_signs`: all but those.
void AppendJsonGroup(const FieldGroup& g, const FileTimestampRecord& r, bool signs_only,
                     bool no_signs, std::string* out) {
  bool object = false;
  ForEachColumn(g, r.fields, [&](const Column& c) {
    if (IsSignCell(c.cell)) {
      if (!no_signs) AppendJsonSignCell(c, r, out);
    } else if (signs_only || c.json == nullptr) {
    } else if (c.in_object) {
      if (!object) AppendJsonObject(g, r, out);
      object = true;
    } else {
      out->append(",\"").append(c.json).append("\":");
      AppendJsonValue(c, r, out);
    }
  });
}

// The fields of a decoded UUID, without the braces around them.
void AppendJsonUuidFields(const DecodedUuid& u, std::string* out) {
  out->append("\"id\":\"").append(u.fields.hex).append("\",\"time\":");
  AppendJsonTime(u.time, u.time_known, out, true);
  out->append(",\"clock_seq\":");
  AppendNumber(u.fields.clockseq, out);
  out->append(",\"node\":\"").append(u.fields.node).append("\"");
}

void PrintJson(const FileTimestampRecord& r, std::string* out) {
  out->append("{\"path\":");
  AppendJsonNameAndHex("path", r.path, out);
  if (r.error != 0) {
    out->append(",\"error\":{\"code\":");
    AppendNumber(r.error, out);
    out->append(",\"message\":");
    AppendJsonString(OneLine(r.error_text), out);
    out->append("}}\n");
    return;
  }
  out->append(",\"index\":");
  if (r.id_lost)
    out->append("null");
  else
    AppendNumber(r.id, out);
  out->append(",\"folder\":").append(r.folder ? "true" : "false");
  if (r.has_size) {
    out->append(",\"size\":");
    AppendNumber(r.size, out);
  }
  out->append(",\"times\":");
  if (r.slack) {
    out->append("null,\"type\":null");
  } else {
    AppendJsonTimes(r.atime, r.mtime, r.ctime, r.crtime, out);
    out->append(",\"type\":\"").append(r.type).push_back('"');
  }
  for (const FieldGroup& g : kFieldGroups)
    if (r.fields.has(g.witness)) AppendJsonGroup(g, r, g.json_after_object_id, false, out);
  out->append(",\"object_id\":");
  if (!r.has_object_id) {
    out->append("null");
  } else {
    out->push_back('{');
    AppendJsonUuidFields(r.object_id, out);
    if (r.has_birth_ids) {
      out->append(",\"birth_object_id\":{");
      AppendJsonUuidFields(r.birth_object_id, out);
      out->append("},\"birth_volume_id\":\"").append(r.birth_volume_id).append("\"}");
    } else {
      out->append(",\"birth_object_id\":null,\"birth_volume_id\":null}");
    }
  }
  for (const FieldGroup& g : kFieldGroups)
    if (r.fields.has(g.witness) && g.json_after_object_id) AppendJsonGroup(g, r, false, true, out);
  out->append("}\n");
}

std::string NoHeader(RecordFields) { return {}; }

void AppendCsvUuid(const DecodedUuid& u, std::string* out) {
  out->push_back(',');
  out->append(u.fields.hex);
  AppendCsvTime(u.time, u.time_known, out);
  out->push_back(',');
  AppendNumber(u.fields.clockseq, out);
  out->push_back(',');
  out->append(u.fields.node);
}

// Visits the columns a run showing `fields` adds to CSV, in order.
template <typename Visit>
void ForEachCsvColumn(RecordFields fields, Visit visit) {
  for (const FieldGroup& g : kFieldGroups)
    if (fields.has(g.witness))
      ForEachColumn(g, fields, [&](const Column& c) {
        if (c.csv != nullptr) visit(c);
      });
}

std::string CsvHeader(RecordFields fields) {
  std::string header =
      "path,index,folder,size,atime,mtime,ctime,crtime,type,object_id,otime,oseq,omac,"
      "birth_object_id,botime,boseq,bomac,birth_volume_id";
  ForEachCsvColumn(fields, [&](const Column& c) { header.append(",").append(c.csv); });
  return header + ",error_code,error_message\r\n";
}

// A column's cells in CSV, each after its comma; empty where not read.
void AppendCsvCells(const Column& c, const FileTimestampRecord& r, std::string* out) {
  switch (c.cell) {
    case Cell::kTime: AppendCsvTime(r.Time(c.fact), r.facts.Has(c.fact), out); return;
    case Cell::kCount:
      out->push_back(',');
      if (r.facts.Has(c.fact)) AppendNumber(r.facts.Get(c.fact), out);
      return;
    case Cell::kVerdict:
      out->push_back(',');
      if (const char* verdict = r.Verdict(c.fact)) out->append(verdict);
      return;
    case Cell::kFlag:
      out->push_back(',');
      if (r.facts.Has(c.fact)) out->append(r.facts.Get(c.fact) != 0 ? "yes" : "no");
      return;
    case Cell::kState: out->append(",").append(StateText(r)); return;
    case Cell::kAlerts:
    case Cell::kNotes:
    case Cell::kFinding:
      out->push_back(',');
      if (c.cell != Cell::kFinding || !r.slack) AppendSignText(c, r, out);
      return;
    case Cell::kEarlier:
      out->push_back(',');
      AppendEarlierText(c, r, "", false, out);
      return;
    case Cell::kStore:
      if (!r.in_store()) {
        out->append(",current,");
        return;
      }
      out->push_back(',');
      AppendNumber(r.store(), out);
      AppendCsvTime(r.store_made(), true, out);
      return;
  }
}

void PrintCsv(const FileTimestampRecord& r, std::string* out) {
  AppendCsvName(r.path, out);
  if (r.error != 0) {
    // Empty fields up to the error's two: every column but the path and
    // those.
    std::size_t fields = 17;
    ForEachCsvColumn(r.fields, [&](const Column& c) {
      fields += 1 + static_cast<std::size_t>(std::count(c.csv, c.csv + std::strlen(c.csv), ','));
    });
    out->append(fields + 1, ',');
    AppendNumber(r.error, out);
    out->push_back(',');
    AppendCsvField(OneLine(r.error_text), out);
    out->append("\r\n");
    return;
  }
  out->push_back(',');
  if (!r.id_lost) AppendNumber(r.id, out);
  out->append(r.folder ? ",yes," : ",no,");
  if (r.has_size) AppendNumber(r.size, out);
  for (const RenderedTimestamp* t : {&r.atime, &r.mtime, &r.ctime, &r.crtime})
    AppendCsvTime(*t, !r.slack, out);
  out->push_back(',');
  if (!r.slack) out->append(r.type);
  if (r.has_object_id) {
    AppendCsvUuid(r.object_id, out);
    if (r.has_birth_ids) {
      AppendCsvUuid(r.birth_object_id, out);
      out->push_back(',');
      out->append(r.birth_volume_id);
    } else {
      out->append(5, ',');
    }
  } else {
    out->append(9, ',');
  }
  ForEachCsvColumn(r.fields, [&](const Column& c) { AppendCsvCells(c, r, out); });
  out->append(",,\r\n");
}

void AppendBodyLine(const FileTimestampRecord& r, std::string_view suffix,
                    const std::array<FILETIME, 4>& times, std::string* out) {
  out->append("0|");
  AppendBodyName(r.path, out);
  out->append(suffix);
  // A deleted record's lines are marked as The Sleuth Kit's fls -m marks
  // them, so that a timeline tells them from live files.
  if (ShowsDeleted(r)) out->append(" (deleted)");
  out->push_back('|');
  if (!r.id_lost) AppendNumber(r.id, out);
  out->append(r.folder ? "|d/drwxrwxrwx|0|0|" : "|r/rrwxrwxrwx|0|0|");
  AppendNumber(r.has_size ? r.size : 0, out);
  for (FILETIME t : times) {
    out->push_back('|');
    AppendUnixTime(t, out);
  }
  out->push_back('\n');
}

void PrintBodyfile(const FileTimestampRecord& r, std::string* out) {
  const std::string state = StoreText(r, StoreTextForm::kBody);
  for (const TimeSet* set : TimeSetsShown(r.fields)) {
    if (!HasTimes(r, *set)) continue;
    const auto t = TimesOf(r, *set);  // creation, write, change, access
    const char* name = r.slack && set->slack_body != nullptr ? set->slack_body : set->body;
    AppendBodyLine(r, state + name, {t[3]->raw, t[1]->raw, t[2]->raw, t[0]->raw}, out);
  }
  // Each moment a witness holds of the file, at its time.
  for (const WitnessEvent& e : r.events) {
    const std::string what = " (" + GroupOf(e.witness).event_text(e.code) + ")";
    AppendBodyLine(r, what, {e.time, e.time, e.time, e.time}, out);
  }
}

// The event's kind as plaso's: "data_type", "attribute_type" and
// "file_reference".
void AppendEventKind(const FileTimestampRecord& r, std::string_view source, std::string* out) {
  const EventKind kind = EventKindOf(r, source);
  out->append(",\"data_type\":\"").append(kind.data_type).append("\",\"attribute_type\":");
  if (kind.attribute_type != 0)
    AppendNumber(static_cast<std::uint64_t>(kind.attribute_type), out);
  else
    out->append("null");
  out->append(",\"file_reference\":");
  if (r.file_reference)
    AppendNumber(*r.file_reference, out);
  else
    out->append("null");
}

// Events for timeline tools (Timesketch, OpenSearch): one JSON object per
// time, with the three fields Timesketch requires (`datetime`,
// `timestamp_desc`, as plaso names a time, `message`, which names the
// witness), its `timestamp` in microseconds, and what an examiner filters
// on. The FILETIME is a string, which no JSON reader rounds.
void AppendEvent(const FileTimestampRecord& r, const RenderedTimestamp& t, std::string_view desc,
                 std::string_view what, const char* source, const char* type, std::string* out) {
  AppendEventTime(t, out);
  out->append(",\"timestamp_desc\":");
  AppendJsonString(desc, out);
  std::string message = EventText(r.path);
  message.append(": ").append(what);
  message += StoreText(r, StoreTextForm::kEvent);
  if (ShowsDeleted(r)) message += " (deleted)";
  if (const SignSet alerts = r.signs.Alerts(); !alerts.empty()) {
    message.append(" [");
    AppendSignNames(alerts, " ", &message);
    message.append("]");
  }
  out->append(",\"message\":");
  AppendJsonString(message, out);
  out->append(",\"path\":");
  AppendEventName("path", r.path, out);
  out->append(",\"index\":");
  if (r.id_lost)
    out->append("null");
  else
    AppendNumber(r.id, out);
  out->append(",\"filetime\":\"");
  AppendNumber(t.raw, out);
  out->append("\",\"source\":\"").append(source).append("\",\"type\":");
  if (type != nullptr)
    out->append("\"").append(type).append("\"");
  else
    out->append("null");
  AppendEventKind(r, source, out);
  if (r.fields.alerts())
    for (const Column& c : kSignColumns) {
      if (c.cell != Cell::kFinding) {
        AppendJsonSignCell(c, r, out);
      } else {
        out->append(",\"finding\":\"")
            .append(FindingName(FindingOf(r.signs, r.witnessed)))
            .append("\"");
      }
    }
  for (const FieldGroup& g : kFieldGroups) {
    if (!r.fields.has(g.witness)) continue;
    for (const Column& c : g.columns) {
      if (c.event == nullptr) continue;
      out->append(",\"").append(c.event).append("\":");
      AppendJsonValue(c, r, out);
    }
  }
  out->append("}\n");
}

// The four events of `set`, each named as the set says, with the verdict
// of the four times as their type.
void AppendTimeSetEvents(const FileTimestampRecord& r, const TimeSet& set, std::string* out) {
  const char* type = &set == &kRecordTimes ? r.type : r.Verdict(set.access);
  const auto times = TimesOf(r, set);
  const auto& names = r.slack && set.slack_body != nullptr ? set.slack_events : set.events;
  for (std::size_t i = 0; i < 4; ++i)
    AppendEvent(r, *times[i], kPlasoTimes[i], names[i], set.source, type, out);
}

void PrintEvents(const FileTimestampRecord& r, std::string* out) {
  if (r.error != 0 || r.absent) return;
  for (const TimeSet* set : TimeSetsShown(r.fields))
    if (HasTimes(r, *set)) AppendTimeSetEvents(r, *set, out);
  for (const WitnessEvent& e : r.events) {
    const FieldGroup& g = GroupOf(e.witness);
    AppendEvent(r, RenderTimestamp(e.time, TimeForm{true, true}, UtcZone()), g.event_desc(e.code),
                g.event_text(e.code), g.event_source, nullptr, out);
  }
}

}  // namespace

const Layout kJsonLayout = {NoHeader, PrintJson};
const Layout kRfc4180Layout = {CsvHeader, PrintCsv};
const Layout kBodyfileLayout = {NoHeader, PrintBodyfile, true};
const Layout kEventsLayout = {NoHeader, PrintEvents, true};

}  // namespace qst
