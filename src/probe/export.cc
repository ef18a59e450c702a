// The forms other programs read: JSON Lines, RFC 4180 CSV and the body file
// of mactime. Times are UTC, to the 100 ns, whatever the display options.
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "probe/layout.h"
#include "probe/ntfs/usn-journal.h"
#include "probe/utf16.h"

namespace qst {
namespace {

constexpr std::uint64_t kUnixEpochTicks = 116444736000000000ull;  // 1970-01-01 as a FILETIME

template <typename Integer>
void AppendNumber(Integer value, std::string* out) {
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out->append(digits, end);
}

// "2024-05-01T12:00:00.1234567Z"; false when the time could not be split.
bool AppendIsoUtc(const RenderedTimestamp& t, std::string* out) {
  if (!t.converted) return false;
  std::string_view text(t.text);
  // The record's ISO text ends in two zero digits below the 100 ns.
  out->append(text.substr(0, text.size() - 2)).append("Z");
  return true;
}

// A JSON string of `text`: quotes, backslashes and control characters
// escaped, and each byte that is not part of valid UTF-8 replaced by U+FFFD.
// Returns false when a byte was replaced.
bool AppendJsonString(std::string_view text, std::string* out) {
  static constexpr char kHex[] = "0123456789abcdef";
  bool exact = true;
  out->push_back('"');
  while (!text.empty()) {
    // Most names are plain ASCII: taken a run at a time.
    std::size_t plain = 0;
    while (plain < text.size()) {
      unsigned char c = static_cast<unsigned char>(text[plain]);
      if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') break;
      ++plain;
    }
    out->append(text.substr(0, plain));
    text.remove_prefix(plain);
    if (text.empty()) break;
    std::size_t length = Utf8SequenceLength(text);
    unsigned char c = static_cast<unsigned char>(text[0]);
    if (length == 0) {
      out->append("\xEF\xBF\xBD");
      exact = false;
      length = 1;
    } else if (c == '"' || c == '\\') {
      out->push_back('\\');
      out->push_back(static_cast<char>(c));
    } else if (c < 0x20 || c == 0x7F) {
      out->append("\\u00").push_back(kHex[c >> 4]);
      out->push_back(kHex[c & 15]);
    } else {
      out->append(text.substr(0, length));
    }
    text.remove_prefix(length);
  }
  out->push_back('"');
  return exact;
}

void AppendHex(std::string_view bytes, std::string* out) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (unsigned char c : bytes) {
    out->push_back(kHex[c >> 4]);
    out->push_back(kHex[c & 15]);
  }
}

// {"utc":"...Z","filetime":N}, with "utc" null when the value has no date.
// An object ID's time, counted from 1582, may lie before 1601: its
// `filetime` is signed.
void AppendJsonTime(const RenderedTimestamp& t, bool known, std::string* out,
                    bool may_precede_1601 = false) {
  out->append("{\"utc\":");
  if (!known || !t.converted) {
    out->append("null");
  } else {
    out->push_back('"');
    AppendIsoUtc(t, out);
    out->push_back('"');
  }
  out->append(",\"filetime\":");
  if (may_precede_1601)
    AppendNumber(static_cast<std::int64_t>(t.raw), out);
  else
    AppendNumber(t.raw, out);
  out->push_back('}');
}

void AppendJsonTimes(const RenderedTimestamp& a, const RenderedTimestamp& m,
                     const RenderedTimestamp& c, const RenderedTimestamp& cr, std::string* out) {
  out->append("{\"atime\":");
  AppendJsonTime(a, true, out);
  out->append(",\"mtime\":");
  AppendJsonTime(m, true, out);
  out->append(",\"ctime\":");
  AppendJsonTime(c, true, out);
  out->append(",\"crtime\":");
  AppendJsonTime(cr, true, out);
  out->push_back('}');
}

// A time that may not exist: null then.
void AppendJsonTimeOrNull(bool known, const RenderedTimestamp& t, std::string* out) {
  if (known)
    AppendJsonTime(t, true, out);
  else
    out->append("null");
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

// A CSV field: quoted when it holds a comma, a quote or a line break, with
// its quotes doubled.
void AppendCsvField(std::string_view text, std::string* out) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
    out->append(text);
    return;
  }
  out->push_back('"');
  for (char c : text) {
    if (c == '"') out->push_back('"');
    out->push_back(c);
  }
  out->push_back('"');
}

void AppendCsvTime(const RenderedTimestamp& t, bool known, std::string* out) {
  out->push_back(',');
  if (known) AppendIsoUtc(t, out);
}

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

// Unix seconds with seven fraction digits, exact for every FILETIME.
void AppendUnixTime(FILETIME t, std::string* out) {
  std::uint64_t ticks = t >= kUnixEpochTicks ? t - kUnixEpochTicks : kUnixEpochTicks - t;
  if (t < kUnixEpochTicks) out->push_back('-');
  AppendNumber(ticks / 10000000, out);
  char fraction[8];
  std::uint64_t rest = ticks % 10000000;
  for (int i = 6; i >= 0; --i, rest /= 10) fraction[i] = static_cast<char>('0' + rest % 10);
  out->push_back('.');
  out->append(fraction, 7);
}

// A body-file name: "|" and control characters, which would end a field or
// a line, written as \xHH.
void AppendBodyName(std::string_view name, std::string* out) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (char ch : name) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == '|' || c < 0x20 || c == 0x7F) {
      out->append("\\x").push_back(kHex[c >> 4]);
      out->push_back(kHex[c & 15]);
    } else {
      out->push_back(ch);
    }
  }
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
// What machine forms render journal times with: UTC needs no zone.
struct UtcOnly : LocalTimeConverter {
  bool ToLocalTime(const SYSTEMTIME& utc, SYSTEMTIME* local) const override {
    *local = utc;
    return true;
  }
};

void AppendEvent(const FileTimestampRecord& r, const RenderedTimestamp& t, std::string_view desc,
                 const char* source, const char* type, std::string* out) {
  // A time with no date (2^63 or more) has no datetime to give.
  out->append("{\"datetime\":");
  if (t.converted) {
    out->push_back('"');
    AppendIsoUtc(t, out);
    out->push_back('"');
  } else {
    out->append("null");
  }
  out->append(",\"timestamp\":");
  AppendNumber(
      static_cast<std::int64_t>(t.raw / 10) - static_cast<std::int64_t>(kUnixEpochTicks / 10), out);
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
    const char* prefix;
    bool shown;
    const char* type;
    std::array<const RenderedTimestamp*, 4> times;
  };
  const Source sources[] = {{"SI", "$SI ", true, r.type, {&r.crtime, &r.mtime, &r.ctime, &r.atime}},
                            {"FN",
                             "$FN ",
                             r.has_name_times,
                             r.name_type,
                             {&r.name_crtime, &r.name_mtime, &r.name_ctime, &r.name_atime}}};
  static constexpr const char* kWhat[] = {"Creation Time", "Modification Time", "Change Time",
                                          "Access Time"};
  for (const Source& source : sources) {
    if (!source.shown) continue;
    for (std::size_t i = 0; i < 4; ++i) {
      const RenderedTimestamp& t = *source.times[i];
      AppendEvent(r, t, std::string(source.prefix) + kWhat[i], source.name, source.type, out);
    }
  }
  for (const auto& [time, reason] : r.usn_events)
    AppendEvent(r, RenderTimestamp(time, TimeForm{true, true}, UtcOnly()),
                "$UsnJrnl: " + UsnReasonText(reason), "USN", nullptr, out);
}

// A journal record's fields as text, shared by its forms.
struct JournalText {
  std::string usn, reason, reasons, file, parent, name, attributes, source, security, version;
};

std::string Hex32(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

std::string Reference(std::uint64_t reference) {
  return std::to_string(reference & 0xFFFFFFFFFFFF) + "-" + std::to_string(reference >> 48);
}

JournalText DescribeJournalRecord(const UsnRecord& r) {
  JournalText t;
  t.usn = std::to_string(r.usn);
  t.reason = Hex32(r.reason);
  t.reasons = UsnReasonText(r.reason);
  t.file = Reference(r.file);
  t.parent = Reference(r.parent);
  t.name = Wtf8FromUtf16(r.name);
  t.attributes = Hex32(r.attributes);
  t.source = Hex32(r.source_info);
  t.security = std::to_string(r.security_id);
  t.version = std::to_string(r.major) + "." + std::to_string(r.minor);
  return t;
}

void AppendJsonReference(std::uint64_t reference, std::string* out) {
  out->append("{\"record\":");
  AppendNumber(reference & 0xFFFFFFFFFFFF, out);
  out->append(",\"sequence\":");
  AppendNumber(reference >> 48, out);
  out->push_back('}');
}

void PrintJournalJson(const UsnRecord& r, const JournalText& t, const RenderedTimestamp& time,
                      std::string_view path, std::string* out) {
  out->append("{\"usn\":");
  AppendNumber(r.usn, out);
  out->append(",\"time\":");
  AppendJsonTimeOrNull(r.has_time, time, out);
  out->append(",\"reason\":");
  AppendNumber(r.reason, out);
  out->append(",\"reasons\":[");
  std::vector<std::string> names = UsnReasonNames(r.reason);
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i) out->push_back(',');
    AppendJsonString(names[i], out);
  }
  out->append("],\"file\":");
  AppendJsonReference(r.file, out);
  out->append(",\"parent\":");
  AppendJsonReference(r.parent, out);
  out->append(",\"name\":");
  if (r.major == 4)
    out->append("null");
  else
    AppendJsonString(t.name, out);
  out->append(",\"path\":");
  if (path.empty())
    out->append("null");
  else
    AppendJsonString(path, out);
  out->append(",\"attributes\":");
  AppendNumber(r.attributes, out);
  out->append(",\"source_info\":");
  AppendNumber(r.source_info, out);
  out->append(",\"security_id\":");
  AppendNumber(r.security_id, out);
  out->append(",\"version\":\"").append(t.version).append("\"}\n");
}

void PrintJournalCsv(const UsnRecord& r, const JournalText& t, const RenderedTimestamp& time,
                     std::string_view path, std::string* out) {
  out->append(t.usn);
  AppendCsvTime(time, r.has_time, out);
  out->push_back(',');
  AppendNumber(r.reason, out);
  out->push_back(',');
  AppendCsvField(t.reasons, out);
  for (std::uint64_t reference : {r.file, r.parent}) {
    out->push_back(',');
    AppendNumber(reference & 0xFFFFFFFFFFFF, out);
    out->push_back(',');
    AppendNumber(reference >> 48, out);
  }
  out->push_back(',');
  AppendCsvField(t.name, out);
  out->push_back(',');
  AppendCsvField(path, out);
  for (std::uint32_t n : {r.attributes, r.source_info, r.security_id}) {
    out->push_back(',');
    AppendNumber(n, out);
  }
  out->push_back(',');
  out->append(t.version).append("\r\n");
}

void PrintJournalBodyfile(const UsnRecord& r, const JournalText& t, std::string_view path,
                          std::string* out) {
  if (!r.has_time) return;  // a V4 record: no time to place it at
  out->append("0|");
  AppendBodyName(path.empty() ? std::string_view(t.name) : path, out);
  out->append(" ($UsnJrnl: ").append(t.reasons).append(")|");
  AppendNumber(r.file & 0xFFFFFFFFFFFF, out);
  out->append("|r/rrwxrwxrwx|0|0|0");
  for (int i = 0; i < 4; ++i) {
    out->push_back('|');
    AppendUnixTime(r.time, out);
  }
  out->push_back('\n');
}

void PrintJournalEvent(const UsnRecord& r, const JournalText& t, const RenderedTimestamp& time,
                       std::string_view path, std::string* out) {
  if (!r.has_time) return;  // a V4 record: no time to place it at
  const std::string desc = "$UsnJrnl: " + t.reasons;
  out->append("{\"datetime\":");
  if (time.converted) {
    out->push_back('"');
    AppendIsoUtc(time, out);
    out->push_back('"');
  } else {
    out->append("null");
  }
  out->append(",\"timestamp\":");
  AppendNumber(
      static_cast<std::int64_t>(r.time / 10) - static_cast<std::int64_t>(kUnixEpochTicks / 10),
      out);
  out->append(",\"timestamp_desc\":");
  AppendJsonString(desc, out);
  out->append(",\"message\":");
  AppendJsonString(std::string(path.empty() ? std::string_view(t.name) : path) + ": " + desc, out);
  out->append(",\"path\":");
  if (path.empty())
    out->append("null");
  else
    AppendJsonString(path, out);
  out->append(",\"name\":");
  AppendJsonString(t.name, out);
  out->append(",\"usn\":");
  AppendNumber(r.usn, out);
  out->append(",\"file\":");
  AppendJsonReference(r.file, out);
  out->append(",\"filetime\":\"");
  AppendNumber(r.time, out);
  out->append("\",\"source\":\"USN\"}\n");
}

void PrintJournalText(const UsnRecord& r, const JournalText& t, const RenderedTimestamp& time,
                      std::string_view path, bool rows, std::string* out) {
  const char* labels[] = {"\n   USN: ", "  time: ", "reason: ", "  file: ", "parent: ", "  name: ",
                          "  path: ",   " attrs: ", "source: ", " secid: ", "   ver: "};
  const char* end = rows ? "" : " \n";
  auto field = [&](int i) { out->append(rows ? (i ? " |" : "") : labels[i]); };
  field(0);
  out->append(t.usn).append(end);
  field(1);
  if (r.has_time)
    out->append(time.text).append(" ").append(time.zone);
  else
    out->append("null");
  out->append(end);
  field(2);
  out->append(t.reason).append(": ").append(t.reasons).append(end);
  field(3);
  out->append(t.file).append(end);
  field(4);
  out->append(t.parent).append(end);
  field(5);
  if (r.major == 4)
    out->append("null");
  else
    AppendTextName(t.name, out);
  out->append(end);
  field(6);
  if (path.empty())
    out->append("null");
  else
    AppendTextName(path, out);
  out->append(end);
  field(7);
  out->append(t.attributes).append(end);
  field(8);
  out->append(t.source).append(end);
  field(9);
  out->append(t.security).append(end);
  field(10);
  out->append(t.version).append(rows ? " \n" : end);
}

}  // namespace

std::string JournalHeader(JournalForm form) {
  switch (form) {
    case JournalForm::kRow:
      return "USN | time | reason | file | parent | name | path | attributes | source_info | "
             "security_id | version \n";
    case JournalForm::kCsv:
      return "usn,time,reason,reasons,file_record,file_sequence,parent_record,parent_sequence,"
             "name,path,attributes,source_info,security_id,version\r\n";
    default: return {};
  }
}

void PrintJournalRecord(const UsnRecord& record, std::string_view path, JournalForm form,
                        TimeForm time_form, const LocalTimeConverter& zone, std::string* out) {
  const JournalText text = DescribeJournalRecord(record);
  const RenderedTimestamp time = RenderTimestamp(record.time, time_form, zone);
  switch (form) {
    case JournalForm::kJson: PrintJournalJson(record, text, time, path, out); break;
    case JournalForm::kCsv: PrintJournalCsv(record, text, time, path, out); break;
    case JournalForm::kBodyfile: PrintJournalBodyfile(record, text, path, out); break;
    case JournalForm::kEvents: PrintJournalEvent(record, text, time, path, out); break;
    case JournalForm::kBlock: PrintJournalText(record, text, time, path, false, out); break;
    case JournalForm::kRow: PrintJournalText(record, text, time, path, true, out); break;
  }
}

const Layout kJsonLayout = {NoHeader, PrintJson};
const Layout kRfc4180Layout = {CsvHeader, PrintCsv};
const Layout kBodyfileLayout = {NoHeader, PrintBodyfile, true};
const Layout kEventsLayout = {NoHeader, PrintEvents, true};

}  // namespace qst
