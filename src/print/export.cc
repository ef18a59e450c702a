// The forms other programs read of a file's record: JSON Lines, RFC 4180
// CSV, the body file of mactime and events for timeline tools. Times are
// UTC, to the 100 ns, whatever the display options.
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "print/form-text.h"
#include "print/layout.h"
#include "probe/ntfs/usn-journal.h"
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

// ,"alerts":[...] from the space-separated signs.
void AppendJsonAlerts(std::string_view alerts, std::string* out) {
  out->append(",\"alerts\":[");
  for (bool first = true; !alerts.empty(); first = false) {
    std::size_t space = alerts.find(' ');
    if (!first) out->push_back(',');
    AppendJsonString(alerts.substr(0, space), out);
    alerts.remove_prefix(space == std::string_view::npos ? alerts.size() : space + 1);
  }
  out->push_back(']');
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
  if (!AppendJsonString(r.path, out)) {
    out->append(",\"path_hex\":\"");
    AppendHex(r.path, out);
    out->push_back('"');
  }
  if (r.error != 0) {
    out->append(",\"error\":{\"code\":");
    AppendNumber(r.error, out);
    out->append(",\"message\":");
    AppendJsonString(OneLine(r.error_text), out);
    out->append("}}\n");
    return;
  }
  out->append(",\"index\":");
  AppendNumber(r.id, out);
  out->append(",\"folder\":").append(r.folder ? "true" : "false");
  if (r.has_size) {
    out->append(",\"size\":");
    AppendNumber(r.size, out);
  }
  out->append(",\"times\":");
  AppendJsonTimes(r.atime, r.mtime, r.ctime, r.crtime, out);
  out->append(",\"type\":\"").append(r.type).push_back('"');
  if (r.fields.name_times) {
    out->append(",\"name_times\":");
    if (r.has_name_times) {
      AppendJsonTimes(r.name_atime, r.name_mtime, r.name_ctime, r.name_crtime, out);
      out->append(",\"name_type\":\"").append(r.name_type).push_back('"');
    } else {
      out->append("null,\"name_type\":null");
    }
    AppendJsonAlerts(r.alerts, out);
  }
  if (r.fields.deleted)
    out->append(",\"state\":\"").append(r.deleted ? "deleted" : "in use") += '"';
  if (r.fields.usn) {
    out->append(",\"usn\":");
    if (r.has_usn) {
      out->append("{\"created\":");
      AppendJsonTimeOrNull(r.has_usn_created, r.usn_created, out);
      out->append(",\"times_set\":");
      AppendJsonTimeOrNull(r.has_usn_times_set, r.usn_times_set, out);
      out->append(",\"records\":");
      AppendNumber(r.usn_records, out);
      out->append(",\"first\":");
      AppendJsonTimeOrNull(r.has_usn_coverage, r.usn_first, out);
      out->append(",\"last\":");
      AppendJsonTimeOrNull(r.has_usn_coverage, r.usn_last, out);
      out->push_back('}');
    } else {
      out->append("null");
    }
    if (!r.fields.name_times) AppendJsonAlerts(r.alerts, out);
  }
  if (r.fields.alerts_with_snapshots()) AppendJsonAlerts(r.alerts, out);
  out->append(",\"object_id\":");
  if (!r.has_object_id) {
    out->append("null");
  } else {
    out->push_back('{');
    AppendJsonUuidFields(r.object_id, out);
    out->append(",\"birth_object_id\":{");
    AppendJsonUuidFields(r.birth_object_id, out);
    out->append("},\"birth_volume_id\":\"").append(r.birth_volume_id).append("\"}");
  }
  if (r.fields.snapshots) {
    out->append(",\"snapshot\":");
    if (r.in_snapshot) {
      out->append("{\"store\":");
      AppendNumber(r.snapshot_store, out);
      out->append(",\"created\":");
      AppendJsonTime(r.snapshot_created, true, out);
      out->push_back('}');
    } else {
      out->append("null");
    }
  }
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

std::string CsvHeader(RecordFields fields) {
  std::string header =
      "path,index,folder,size,atime,mtime,ctime,crtime,type,object_id,otime,oseq,omac,"
      "birth_object_id,botime,boseq,bomac,birth_volume_id";
  if (fields.name_times) header += ",fn_atime,fn_mtime,fn_ctime,fn_crtime,fn_type,alerts";
  if (fields.deleted) header += ",state";
  if (fields.usn) {
    header += ",usn_created,usn_times_set,usn_records,usn_first,usn_last";
    if (!fields.name_times) header += ",alerts";
  }
  if (fields.alerts_with_snapshots()) header += ",alerts";
  if (fields.snapshots) header += ",snapshot,snapshot_created";
  return header + ",error_code,error_message\r\n";
}

void PrintCsv(const FileTimestampRecord& r, std::string* out) {
  AppendCsvField(r.path, out);
  // Empty fields up to the error's two: every column but the path and those.
  std::size_t fields = 17 + (r.fields.name_times ? 6 : 0) + (r.fields.deleted ? 1 : 0) +
                       (r.fields.usn ? (r.fields.name_times ? 5 : 6) : 0) +
                       (r.fields.snapshots ? (r.fields.alerts_with_snapshots() ? 3 : 2) : 0);
  if (r.error != 0) {
    out->append(fields + 1, ',');
    AppendNumber(r.error, out);
    out->push_back(',');
    AppendCsvField(OneLine(r.error_text), out);
    out->append("\r\n");
    return;
  }
  out->push_back(',');
  AppendNumber(r.id, out);
  out->append(r.folder ? ",yes," : ",no,");
  if (r.has_size) AppendNumber(r.size, out);
  for (const RenderedTimestamp* t : {&r.atime, &r.mtime, &r.ctime, &r.crtime})
    AppendCsvTime(*t, true, out);
  out->push_back(',');
  out->append(r.type);
  if (r.has_object_id) {
    AppendCsvUuid(r.object_id, out);
    AppendCsvUuid(r.birth_object_id, out);
    out->push_back(',');
    out->append(r.birth_volume_id);
  } else {
    out->append(9, ',');
  }
  if (r.fields.name_times) {
    for (const RenderedTimestamp* t : {&r.name_atime, &r.name_mtime, &r.name_ctime, &r.name_crtime})
      AppendCsvTime(*t, r.has_name_times, out);
    out->push_back(',');
    if (r.has_name_times) out->append(r.name_type);
    out->push_back(',');
    out->append(r.alerts);
  }
  if (r.fields.deleted) out->append(r.deleted ? ",deleted" : ",in use");
  if (r.fields.usn) {
    AppendCsvTime(r.usn_created, r.has_usn && r.has_usn_created, out);
    AppendCsvTime(r.usn_times_set, r.has_usn && r.has_usn_times_set, out);
    out->push_back(',');
    if (r.has_usn) AppendNumber(r.usn_records, out);
    AppendCsvTime(r.usn_first, r.has_usn && r.has_usn_coverage, out);
    AppendCsvTime(r.usn_last, r.has_usn && r.has_usn_coverage, out);
    if (!r.fields.name_times) out->append(",").append(r.alerts);
  }
  if (r.fields.alerts_with_snapshots()) out->append(",").append(r.alerts);
  if (r.fields.snapshots) {
    if (r.in_snapshot) {
      out->push_back(',');
      AppendNumber(r.snapshot_store, out);
      AppendCsvTime(r.snapshot_created, true, out);
    } else {
      out->append(",current,");
    }
  }
  out->append(",,\r\n");
}

void AppendBodyLine(const FileTimestampRecord& r, std::string_view suffix, FILETIME a, FILETIME m,
                    FILETIME c, FILETIME cr, std::string* out) {
  out->append("0|");
  AppendBodyName(r.path, out);
  out->append(suffix);
  // A deleted record's lines are marked as The Sleuth Kit's fls -m marks
  // them, so that a timeline tells them from live files.
  if (r.fields.deleted && r.deleted) out->append(" (deleted)");
  out->push_back('|');
  AppendNumber(r.id, out);
  out->append(r.folder ? "|d/drwxrwxrwx|0|0|" : "|r/rrwxrwxrwx|0|0|");
  AppendNumber(r.has_size ? r.size : 0, out);
  for (FILETIME t : {a, m, c, cr}) {
    out->push_back('|');
    AppendUnixTime(t, out);
  }
  out->push_back('\n');
}

void PrintBodyfile(const FileTimestampRecord& r, std::string* out) {
  // A shadow copy's state: "<path> (snapshot N)".
  const std::string state =
      r.in_snapshot ? " (snapshot " + std::to_string(r.snapshot_store) + ")" : std::string();
  AppendBodyLine(r, state, r.atime.raw, r.mtime.raw, r.ctime.raw, r.crtime.raw, out);
  if (r.has_name_times)
    AppendBodyLine(r, state + " ($FILE_NAME)", r.name_atime.raw, r.name_mtime.raw, r.name_ctime.raw,
                   r.name_crtime.raw, out);
  // Each journal record of the file, at its time.
  for (const auto& [time, reason] : r.usn_events)
    AppendBodyLine(r, " ($UsnJrnl: " + UsnReasonText(reason) + ")", time, time, time, time, out);
}

// Events for timeline tools (Timesketch, OpenSearch): one JSON object per
// time, with the three fields Timesketch requires (`datetime`, `timestamp_desc`,
// `message`), its `timestamp` in microseconds, and what an examiner filters
// on. The FILETIME is a string, which no JSON reader rounds.
void AppendEvent(const FileTimestampRecord& r, const RenderedTimestamp& t, std::string_view desc,
                 const char* source, const char* type, std::string* out) {
  AppendEventTime(t, out);
  out->append(",\"timestamp_desc\":");
  AppendJsonString(desc, out);
  std::string message(r.path);
  message.append(": ").append(desc);
  if (r.in_snapshot) message += " in shadow copy " + std::to_string(r.snapshot_store);
  if (r.fields.deleted && r.deleted) message += " (deleted)";
  if (!r.alerts.empty()) message.append(" [").append(r.alerts).append("]");
  out->append(",\"message\":");
  AppendJsonString(message, out);
  out->append(",\"path\":");
  if (!AppendJsonString(r.path, out)) {
    out->append(",\"path_hex\":\"");
    AppendHex(r.path, out);
    out->push_back('"');
  }
  out->append(",\"index\":");
  AppendNumber(r.id, out);
  out->append(",\"filetime\":\"");
  AppendNumber(t.raw, out);
  out->append("\",\"source\":\"").append(source).append("\",\"type\":");
  if (type != nullptr)
    out->append("\"").append(type).append("\"");
  else
    out->append("null");
  if (r.fields.alerts()) AppendJsonAlerts(r.alerts, out);
  if (r.fields.deleted)
    out->append(",\"state\":\"").append(r.deleted ? "deleted" : "in use") += '"';
  if (r.fields.snapshots) {
    out->append(",\"snapshot\":");
    if (r.in_snapshot)
      AppendNumber(r.snapshot_store, out);
    else
      out->append("null");
  }
  out->append("}\n");
}

void PrintEvents(const FileTimestampRecord& r, std::string* out) {
  if (r.error != 0 || r.absent) return;
  struct Source {
    const char* name;
    bool shown;
    const char* type;
    std::array<const RenderedTimestamp*, 4> times;
    std::array<const char*, 4> what;
  };
  const Source sources[] = {
      {"SI",
       true,
       r.type,
       {&r.crtime, &r.mtime, &r.ctime, &r.atime},
       {"$SI Creation Time", "$SI Modification Time", "$SI Change Time", "$SI Access Time"}},
      {"FN",
       r.has_name_times,
       r.name_type,
       {&r.name_crtime, &r.name_mtime, &r.name_ctime, &r.name_atime},
       {"$FN Creation Time", "$FN Modification Time", "$FN Change Time", "$FN Access Time"}}};
  for (const Source& source : sources) {
    if (!source.shown) continue;
    for (std::size_t i = 0; i < 4; ++i)
      AppendEvent(r, *source.times[i], source.what[i], source.name, source.type, out);
  }
  for (const auto& [time, reason] : r.usn_events)
    AppendEvent(r, RenderTimestamp(time, TimeForm{true, true}, UtcZone()),
                "$UsnJrnl: " + UsnReasonText(reason), "USN", nullptr, out);
}

}  // namespace

const Layout kJsonLayout = {NoHeader, PrintJson};
const Layout kRfc4180Layout = {CsvHeader, PrintCsv};
const Layout kBodyfileLayout = {NoHeader, PrintBodyfile, true};
const Layout kEventsLayout = {NoHeader, PrintEvents, true};

}  // namespace qst
