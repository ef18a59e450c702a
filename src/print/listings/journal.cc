// A change journal as a timeline: each record in the run's form (text,
// JSON Lines, CSV, body file, events).
#include "print/listings/journal.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "print/form-text.h"
#include "print/layout.h"
#include "print/schema.h"
#include "probe/ntfs/mft-record.h"
#include "probe/utf16.h"
#include "probe/witnesses/usn/usn-journal.h"

namespace qst {
namespace {

// ,"key":"text" (null when not `known`), with its bytes beside it where it
// is not valid UTF-8.
void AppendJsonName(const char* key, bool known, std::string_view text, std::string* out) {
  out->append(",\"").append(key).append("\":");
  if (known)
    AppendJsonNameAndHex(key, text, out);
  else
    out->append("null");
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
  return std::to_string(RecordNumber(reference)) + "-" + std::to_string(SequenceNumber(reference));
}

JournalText DescribeJournalRecord(const UsnRecord& r) {
  JournalText t;
  t.usn = std::to_string(r.usn);
  t.reason = Hex32(r.reason);
  t.reasons = UsnReasonText(r.reason);
  t.file = Reference(r.file);
  t.parent = Reference(r.parent);
  t.name = Wtf8FromUtf16(r.name);
  // A V4 record has neither attributes nor a security ID.
  t.attributes = r.major == 4 ? "null" : Hex32(r.attributes);
  t.source = Hex32(r.source_info);
  t.security = r.major == 4 ? "null" : std::to_string(r.security_id);
  t.version = std::to_string(r.major) + "." + std::to_string(r.minor);
  return t;
}

void AppendJsonReference(std::uint64_t reference, std::string* out) {
  out->append("{\"record\":");
  AppendNumber(RecordNumber(reference), out);
  out->append(",\"sequence\":");
  AppendNumber(SequenceNumber(reference), out);
  out->push_back('}');
}

void PrintJournalJson(const UsnRecord& r, const JournalText& t, const RenderedTimestamp& time,
                      std::string_view path, const char* state, std::string* out) {
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
  AppendJsonName("name", r.major != 4, t.name, out);
  AppendJsonName("path", !path.empty(), path, out);
  out->append(",\"attributes\":");
  if (r.major == 4)
    out->append("null");
  else
    AppendNumber(r.attributes, out);
  out->append(",\"source_info\":");
  AppendNumber(r.source_info, out);
  out->append(",\"security_id\":");
  if (r.major == 4)
    out->append("null");
  else
    AppendNumber(r.security_id, out);
  out->append(",\"version\":\"").append(t.version).append("\"");
  if (state != nullptr) out->append(",\"state\":\"").append(state).append("\"");
  out->append("}\n");
}

void PrintJournalCsv(const UsnRecord& r, const JournalText& t, const RenderedTimestamp& time,
                     std::string_view path, const char* state, std::string* out) {
  out->append(t.usn);
  AppendCsvTime(time, r.has_time, out);
  out->push_back(',');
  AppendNumber(r.reason, out);
  out->push_back(',');
  AppendCsvField(t.reasons, out);
  for (std::uint64_t reference : {r.file, r.parent}) {
    out->push_back(',');
    AppendNumber(RecordNumber(reference), out);
    out->push_back(',');
    AppendNumber(SequenceNumber(reference), out);
  }
  out->push_back(',');
  AppendCsvName(t.name, out);
  out->push_back(',');
  AppendCsvName(path, out);
  for (const std::uint32_t* n : {&r.attributes, &r.source_info, &r.security_id}) {
    out->push_back(',');
    if (r.major != 4 || n == &r.source_info) AppendNumber(*n, out);
  }
  out->push_back(',');
  out->append(t.version);
  if (state != nullptr) out->append(",").append(state);
  out->append("\r\n");
}

void PrintJournalBodyfile(const UsnRecord& r, const JournalText& t, std::string_view path,
                          const char* state, std::string* out) {
  if (!r.has_time) return;  // a V4 record: no time to place it at
  out->append("0|");
  AppendBodyName(path.empty() ? std::string_view(t.name) : path, out);
  // A record carved from free clusters says so in its name, the one place
  // a body file has.
  const bool carved = state != nullptr && std::string_view(state) == "carved";
  out->append(carved ? " ($UsnJrnl, carved: " : " ($UsnJrnl: ").append(t.reasons).append(")|");
  AppendNumber(RecordNumber(r.file), out);
  out->append((r.attributes & kFileAttributeDirectory) != 0 ? "|d/drwxrwxrwx|0|0|0"
                                                            : "|r/rrwxrwxrwx|0|0|0");
  for (int i = 0; i < 4; ++i) {
    out->push_back('|');
    AppendUnixTime(r.time, out);
  }
  out->push_back('\n');
}

void PrintJournalEvent(const UsnRecord& r, const JournalText& t, const RenderedTimestamp& time,
                       std::string_view path, const char* state, std::string* out) {
  const std::string desc = "$UsnJrnl: " + t.reasons;
  // A V4 record has no time: its event says so rather than be left out.
  if (r.has_time)
    AppendEventTime(time, out);
  else
    out->append("{\"datetime\":null,\"timestamp\":null");
  out->append(",\"timestamp_desc\":\"")
      .append(GroupOf(Witness::kUsn).event_desc(r.reason))
      .append("\"");
  out->append(",\"message\":");
  const std::string subject = !path.empty()  ? std::string(path)
                              : r.major != 4 ? t.name
                                             : "file " + t.file;
  AppendJsonString(EventText(subject) + ": " + desc, out);
  out->append(",\"path\":");
  if (path.empty())
    out->append("null");
  else
    AppendEventName("path", path, out);
  AppendJsonName("name", r.major != 4, t.name, out);
  out->append(",\"usn\":");
  AppendNumber(r.usn, out);
  out->append(",\"file\":");
  AppendJsonReference(r.file, out);
  if (r.has_time) {
    out->append(",\"filetime\":\"");
    AppendNumber(r.time, out);
    out->append("\"");
  } else {
    out->append(",\"filetime\":null");
  }
  out->append(",\"source\":\"USN\",\"data_type\":\"fs:ntfs:usn_change\",\"file_reference\":");
  AppendNumber(r.file, out);
  if (state != nullptr) out->append(",\"state\":\"").append(state).append("\"");
  out->append("}\n");
}

void PrintJournalText(const UsnRecord& r, const JournalText& t, const RenderedTimestamp& time,
                      std::string_view path, const char* state, bool rows, std::string* out) {
  const char* labels[] = {"\n   USN: ", "  time: ", "reason: ", "  file: ", "parent: ", "  name: ",
                          "  path: ",   " attrs: ", "source: ", " secid: ", "   ver: ", " state: "};
  const char* end = rows ? "" : " \n";
  auto field = [&](int i) { out->append(rows ? (i ? " |" : "") : labels[i]); };
  field(0);
  out->append(t.usn).append(end);
  field(1);
  if (r.has_time)
    out->append(time.Text()).append(" ").append(time.zone);
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
    AppendTextName(t.name, out, rows, true);
  out->append(end);
  field(6);
  if (path.empty())
    out->append("null");
  else
    AppendTextName(path, out, rows, true);
  out->append(end);
  field(7);
  out->append(t.attributes).append(end);
  field(8);
  out->append(t.source).append(end);
  field(9);
  out->append(t.security).append(end);
  field(10);
  out->append(t.version);
  if (state != nullptr) {
    out->append(end);
    field(11);
    out->append(state);
  }
  out->append(rows ? " \n" : end);
}

}  // namespace

std::string JournalHeader(ListingForm form, RecordFields fields) {
  // Where each record was read: the journal as it is, free clusters (-a),
  // or a shadow copy (-S).
  const bool states = ListsDeleted(fields) || fields.has(Witness::kSnapshots);
  switch (form) {
    case ListingForm::kRow:
      return std::string(
                 "USN | time | reason | file | parent | name | path | attributes | "
                 "source_info | security_id | version") +
             (states ? " | state \n" : " \n");
    case ListingForm::kCsv:
      return std::string(
                 "usn,time,reason,reasons,file_record,file_sequence,parent_record,parent_sequence,"
                 "name,path,attributes,source_info,security_id,version") +
             (states ? ",state\r\n" : "\r\n");
    default: return {};
  }
}

void PrintJournalRecord(const UsnRecord& record, std::string_view path, ListingForm form,
                        TimeForm time_form, const LocalTimeConverter& zone, std::string* out,
                        const char* state) {
  const JournalText text = DescribeJournalRecord(record);
  const RenderedTimestamp time = RenderTimestamp(record.time, time_form, zone);
  switch (form) {
    case ListingForm::kJson: PrintJournalJson(record, text, time, path, state, out); break;
    case ListingForm::kCsv: PrintJournalCsv(record, text, time, path, state, out); break;
    case ListingForm::kBodyfile: PrintJournalBodyfile(record, text, path, state, out); break;
    case ListingForm::kEvents: PrintJournalEvent(record, text, time, path, state, out); break;
    case ListingForm::kBlock: PrintJournalText(record, text, time, path, state, false, out); break;
    case ListingForm::kRow: PrintJournalText(record, text, time, path, state, true, out); break;
  }
}

namespace {

bool PrintListedJournal(const ListedRecord& record, ListingForm form, TimeForm time_form,
                        const LocalTimeConverter& zone, std::string* out) {
  const std::size_t before = out->size();
  PrintJournalRecord(record.As<UsnRecord>(), record.path, form, time_form, zone, out, record.state);
  return out->size() != before;
}

std::string JournalLeftOut(std::uint64_t n) {
  return Format(
      "qst: %llu journal records of version 4 hold no time: the body file leaves them out\n",
      static_cast<unsigned long long>(n));
}

}  // namespace

const Listing kJournalListing = {JournalHeader, PrintListedJournal, JournalLeftOut};

}  // namespace qst
