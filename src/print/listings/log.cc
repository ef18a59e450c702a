// The transaction log as a timeline: each record in the run's form (text,
// JSON Lines, CSV, body file, events), with the times its redo and undo
// bytes hold where they hold those of $STANDARD_INFORMATION or $FILE_NAME.
#include "print/listings/log.h"

#include <array>
#include <string>

#include "print/form-text.h"
#include "print/layout.h"
#include "print/schema.h"
#include "probe/witnesses/logfile/logfile-files.h"

namespace qst {
namespace {

constexpr std::array<const char*, 4> kTimeNames = {"crtime", "mtime", "ctime", "atime"};
constexpr std::array<const char*, 4> kEventNames = {"Creation", "Modification", "Change", "Access"};

// A record's fields, shared by its forms.
struct LogText {
  std::string redo, undo;
  LogTimes times[2];  // redo, undo
  std::array<RenderedTimestamp, 4> rendered[2];
};

LogText DescribeLogRecord(const LogRecord& r, TimeForm form, const LocalTimeConverter& zone) {
  LogText t;
  t.redo = r.has_client ? LogOperationName(r.redo) : "";
  t.undo = r.has_client ? LogOperationName(r.undo) : "";
  for (int side = 0; side < 2; ++side) {
    t.times[side] = TimesOfLogRecord(r, side == 0);
    for (int i = 0; i < 4; ++i)
      if (t.times[side].known >> i & 1)
        t.rendered[side][i] = RenderTimestamp(t.times[side].times[i], form, zone);
  }
  return t;
}

// "$SI crtime <time> mtime <time>" in the text layouts, or "null".
void AppendTimesText(const LogText& t, int side, std::string* out) {
  const LogTimes& x = t.times[side];
  if (x.of == nullptr) {
    out->append("null");
    return;
  }
  out->append(x.of);
  for (int i = 0; i < 4; ++i) {
    if ((x.known >> i & 1) == 0) continue;
    out->append(" ").append(kTimeNames[i]).append(" ");
    out->append(t.rendered[side][i].Text()).append(" ").append(t.rendered[side][i].zone);
  }
}

void AppendTimesJson(const LogText& t, int side, std::string* out) {
  const LogTimes& x = t.times[side];
  if (x.of == nullptr) {
    out->append("null");
    return;
  }
  out->append("{\"of\":\"").append(x.of).append("\"");
  for (int i = 0; i < 4; ++i) {
    if ((x.known >> i & 1) == 0) continue;
    out->append(",\"").append(kTimeNames[i]).append("\":");
    AppendJsonTime(t.rendered[side][i], true, out);
  }
  out->push_back('}');
}

// "$SI crtime=<ISO> mtime=<ISO>" in one CSV field; empty for none.
void AppendTimesCsv(const LogText& t, int side, std::string* out) {
  out->push_back(',');
  const LogTimes& x = t.times[side];
  if (x.of == nullptr) return;
  out->append(x.of);
  for (int i = 0; i < 4; ++i) {
    if ((x.known >> i & 1) == 0) continue;
    out->append(" ").append(kTimeNames[i]).append("=");
    if (!AppendIsoUtc(t.rendered[side][i], out)) AppendNumber(t.times[side].times[i], out);
  }
}

void AppendTarget(std::uint64_t target, std::string* out) {
  if (target == kNoLogTarget)
    out->append("null");
  else
    AppendNumber(target, out);
}

void PrintLogJson(const LogRecord& r, const LogText& t, std::uint64_t target, const char* state,
                  std::string* out) {
  out->append("{\"lsn\":");
  AppendNumber(r.lsn, out);
  out->append(",\"previous_lsn\":");
  AppendNumber(r.previous_lsn, out);
  out->append(",\"undo_next_lsn\":");
  AppendNumber(r.undo_next_lsn, out);
  out->append(",\"transaction\":");
  AppendNumber(r.transaction, out);
  out->append(",\"type\":");
  AppendNumber(r.type, out);
  out->append(",\"redo\":");
  AppendJsonStringOrNull(r.has_client, t.redo, out);
  out->append(",\"undo\":");
  AppendJsonStringOrNull(r.has_client, t.undo, out);
  out->append(",\"record\":");
  AppendTarget(target, out);
  out->append(",\"target_attribute\":");
  AppendNumber(r.target_attribute, out);
  out->append(",\"record_offset\":");
  AppendNumber(r.record_offset, out);
  out->append(",\"attribute_offset\":");
  AppendNumber(r.attribute_offset, out);
  out->append(",\"target_vcn\":");
  AppendNumber(r.target_vcn, out);
  out->append(",\"redo_times\":");
  AppendTimesJson(t, 0, out);
  out->append(",\"undo_times\":");
  AppendTimesJson(t, 1, out);
  if (state != nullptr) out->append(",\"state\":\"").append(state).append("\"");
  out->append("}\n");
}

void PrintLogCsv(const LogRecord& r, const LogText& t, std::uint64_t target, const char* state,
                 std::string* out) {
  AppendNumber(r.lsn, out);
  for (std::uint64_t n : {r.previous_lsn, r.undo_next_lsn, std::uint64_t{r.transaction}}) {
    out->push_back(',');
    AppendNumber(n, out);
  }
  out->append(",").append(t.redo).append(",").append(t.undo).append(",");
  if (target != kNoLogTarget) AppendNumber(target, out);
  for (std::uint64_t n : {std::uint64_t{r.target_attribute}, std::uint64_t{r.record_offset},
                          std::uint64_t{r.attribute_offset}, r.target_vcn}) {
    out->push_back(',');
    AppendNumber(n, out);
  }
  AppendTimesCsv(t, 0, out);
  AppendTimesCsv(t, 1, out);
  if (state != nullptr) out->append(",").append(state);
  out->append("\r\n");
}

// What a record is called on a timeline: "$LogFile LSN <n>: <redo> (record
// <r>)", and where it was read where that is a shadow copy ("[copy 1 made
// ...]").
std::string LogName(const LogRecord& r, const LogText& t, std::uint64_t target, const char* state) {
  std::string name = "$LogFile LSN " + std::to_string(r.lsn) + ": " + t.redo;
  if (target != kNoLogTarget) name += " (record " + std::to_string(target) + ")";
  if (state != nullptr && std::string_view(state) != "live")
    name += " [" + std::string(state) + "]";
  return name;
}

void PrintLogBodyfile(const LogRecord& r, const LogText& t, std::uint64_t target, const char* state,
                      std::string* out) {
  for (int side = 0; side < 2; ++side) {
    const LogTimes& x = t.times[side];
    if (x.of == nullptr) continue;
    out->append("0|").append(LogName(r, t, target, state));
    out->append(side == 0 ? " (redo " : " (undo ").append(x.of).append(")|");
    AppendTarget(target == kNoLogTarget ? 0 : target, out);
    out->append("|r/rrwxrwxrwx|0|0|0");
    // atime, mtime, ctime, crtime; 0 where the bytes do not hold it.
    for (int i : {3, 1, 2, 0}) {
      out->push_back('|');
      if (x.known >> i & 1)
        AppendUnixTime(x.times[i], out);
      else
        out->push_back('0');
    }
    out->push_back('\n');
  }
}

void PrintLogEvents(const LogRecord& r, const LogText& t, std::uint64_t target, const char* state,
                    std::string* out) {
  for (int side = 0; side < 2; ++side) {
    const LogTimes& x = t.times[side];
    for (int i = 0; i < 4; ++i) {
      if ((x.known >> i & 1) == 0) continue;
      const std::string desc = std::string("$LogFile ") + (side == 0 ? "redo " : "undo ") + x.of +
                               " " + kEventNames[i] + " Time";
      AppendEventTime(t.rendered[side][i], out);
      out->append(",\"timestamp_desc\":\"")
          .append(GroupOf(Witness::kLog).event_desc(static_cast<std::uint32_t>(i)))
          .append("\"");
      out->append(",\"message\":");
      AppendJsonString(LogName(r, t, target, state) + ": " + desc, out);
      out->append(",\"lsn\":");
      AppendNumber(r.lsn, out);
      out->append(",\"record\":");
      AppendTarget(target, out);
      out->append(",\"filetime\":\"");
      AppendNumber(x.times[i], out);
      out->append("\",\"source\":\"LOG\",\"data_type\":\"fs:ntfs:logfile\"");
      if (state != nullptr) out->append(",\"state\":\"").append(state).append("\"");
      out->append("}\n");
    }
  }
}

void PrintLogText(const LogRecord& r, const LogText& t, std::uint64_t target, const char* state,
                  bool rows, std::string* out) {
  const char* labels[] = {"\n   LSN: ", "  prev: ", "    tx: ", "  redo: ", "  undo: ", "record: ",
                          "  attr: ",   "offset: ", " redoT: ", " undoT: ", " state: "};
  const char* end = rows ? "" : " \n";
  auto field = [&](int i) { out->append(rows ? (i ? " |" : "") : labels[i]); };
  field(0);
  AppendNumber(r.lsn, out);
  out->append(end);
  field(1);
  AppendNumber(r.previous_lsn, out);
  out->append(end);
  field(2);
  AppendNumber(r.transaction, out);
  out->append(end);
  field(3);
  out->append(r.has_client ? t.redo : "null").append(end);
  field(4);
  out->append(r.has_client ? t.undo : "null").append(end);
  field(5);
  AppendTarget(target, out);
  out->append(end);
  field(6);
  AppendNumber(r.record_offset, out);
  out->append(end);
  field(7);
  AppendNumber(r.attribute_offset, out);
  out->append(end);
  field(8);
  AppendTimesText(t, 0, out);
  out->append(end);
  field(9);
  AppendTimesText(t, 1, out);
  if (state != nullptr) {
    out->append(end);
    field(10);
    out->append(state);
  }
  out->append(rows ? " \n" : end);
}

}  // namespace

std::string LogHeader(ListingForm form, bool states) {
  switch (form) {
    case ListingForm::kRow:
      return std::string(
                 "LSN | previous LSN | transaction | redo | undo | record | record offset "
                 "| attribute offset | redo times | undo times") +
             (states ? " | state \n" : " \n");
    case ListingForm::kCsv:
      return std::string(
                 "lsn,previous_lsn,undo_next_lsn,transaction,redo,undo,record,target_"
                 "attribute,record_offset,attribute_offset,target_vcn,redo_times,undo_"
                 "times") +
             (states ? ",state\r\n" : "\r\n");
    default: return {};
  }
}

void PrintLogRecord(const LogRecord& record, std::uint64_t target, ListingForm form,
                    TimeForm time_form, const LocalTimeConverter& zone, std::string* out,
                    const char* state) {
  const LogText text = DescribeLogRecord(record, time_form, zone);
  switch (form) {
    case ListingForm::kJson: PrintLogJson(record, text, target, state, out); break;
    case ListingForm::kCsv: PrintLogCsv(record, text, target, state, out); break;
    case ListingForm::kBodyfile: PrintLogBodyfile(record, text, target, state, out); break;
    case ListingForm::kEvents: PrintLogEvents(record, text, target, state, out); break;
    case ListingForm::kBlock: PrintLogText(record, text, target, state, false, out); break;
    case ListingForm::kRow: PrintLogText(record, text, target, state, true, out); break;
  }
}

namespace {

bool PrintListedLog(const ListedRecord& record, ListingForm form, TimeForm time_form,
                    const LocalTimeConverter& zone, std::string* out) {
  PrintLogRecord(record.As<LogRecord>(), record.target, form, time_form, zone, out, record.state);
  return true;
}

}  // namespace

// With -S, where each record was read: the volume's own log, or a copy's.
const Listing kLogListing = {[](ListingForm form, RecordFields fields) {
                               return LogHeader(form, fields.has(Witness::kSnapshots));
                             },
                             PrintListedLog, nullptr};

}  // namespace qst
