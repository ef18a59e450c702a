#include "print/layout.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <utility>

#include "print/form-text.h"
#include "print/schema.h"

namespace qst {

// A path as the text layouts show it: each control character (U+0000 to
// U+001F and U+007F, single bytes in UTF-8 and in any system's bytes) as its
// code in two hex digits between angle brackets, "<0A>" for a line feed, so
// that no name can end a row or start another; all else byte for byte.
// Windows allows neither bracket in a name. A path of a volume's names
// (`volume`) is read back by the same codes (PathFromText): its '/' is a
// name's own and written "<2F>", and a '<' that starts what reads as a code
// "<3C>", so that what is shown names the same file when given back.
void AppendTextName(std::string_view path, std::string* out, bool row, bool volume) {
  auto plain = [row, volume](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 0x20 && u != 0x7F && u != 0xC2 && u != 0xD8 && u != 0xE2 && (!row || c != '|') &&
           (!volume || (c != '/' && c != '<'));
  };
  std::string code_bytes;
  for (std::size_t start = 0; start < path.size();) {
    std::size_t end = start;
    while (end < path.size() && plain(path[end])) ++end;
    out->append(path.substr(start, end - start));
    if (end == path.size()) break;
    unsigned code = 0;
    if (const std::size_t mark = CodedCharacterAt(path.substr(end), &code)) {
      const char text[] = {'<',
                           'U',
                           '+',
                           kHexUpper[code >> 12],
                           kHexUpper[code >> 8 & 15],
                           kHexUpper[code >> 4 & 15],
                           kHexUpper[code & 15],
                           '>'};
      out->append(text, sizeof text);
      start = end + mark;
      continue;
    }
    const auto c = static_cast<unsigned char>(path[end]);
    if (c == 0xC2 || c == 0xD8 || c == 0xE2 ||
        (c == '<' && TextCodeAt(path.substr(end), &code_bytes) == 0)) {
      out->push_back(path[end]);
    } else {
      const char code_text[] = {'<', kHexUpper[c >> 4], kHexUpper[c & 15], '>'};
      out->append(code_text, sizeof code_text);
    }
    start = end + 1;
  }
}

namespace {

// Printed ahead of a record for each object-identifier time that does not
// lie after 1601-01-01.
constexpr std::string_view kUnknownErrorLine = "Unknown Error\n";

void AppendInt(int value, std::string* out) {
  char digits[16];
  auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out->append(digits, end);
}

void AppendTime(const RenderedTimestamp& t, std::string* out) {
  out->append(t.Text()).append(" ").append(t.zone);
}

// "<clock sequence> (<same in four hex digits>)".
void AppendClockSeq(int clockseq, std::string* out) {
  AppendInt(clockseq, out);
  char hex[8];
  auto end = std::to_chars(hex, hex + sizeof hex, clockseq, 16).ptr;
  out->append(" (").append(4 - std::min<std::ptrdiff_t>(end - hex, 4), '0').append(hex, end);
  out->append(")");
}

// Both layouts print these lines first, and the error line alone for a path
// that failed. Returns false when the record has nothing more to print.
bool AppendPrelude(const FileTimestampRecord& r, std::string* out, bool row = false) {
  if (r.error != 0) {
    AppendErrorLine(r.path, r.error, r.error_text, out, row, r.fields.volume_names);
    return false;
  }
  if (r.has_object_id) {
    if (!r.object_id.time_known) out->append(kUnknownErrorLine);
    if (r.has_birth_ids && !r.birth_object_id.time_known) out->append(kUnknownErrorLine);
  }
  return true;
}

struct UuidLabels {
  const char* id;
  const char* time;
  const char* clockseq;
  const char* node;
};
constexpr UuidLabels kObjectIdLabels = {"\n   OID: ", " otime: ", "  oseq: ", " oMAC: "};
constexpr UuidLabels kBirthObjectIdLabels = {"\n  BOID: ", "botime: ", " boseq: ", " boMAC: "};

void AppendUuidLines(const UuidLabels& labels, const DecodedUuid& u, std::string* out) {
  out->append(labels.id).append(u.fields.hex).append(" \n");
  out->append(labels.time);
  AppendTime(u.time, out);
  out->append(" \n").append(labels.clockseq);
  AppendClockSeq(u.fields.clockseq, out);
  out->append(labels.node).append(u.fields.node).append(" \n");
}

// Four labelled lines of times, or of null where they were not read.
void AppendTimeLines(const std::array<std::pair<const char*, const RenderedTimestamp*>, 4>& times,
                     bool known, std::string* out) {
  for (const auto& [label, time] : times) {
    out->append(label);
    if (known)
      AppendTime(*time, out);
    else
      out->append("null");
    out->append(" \n");
  }
}

// A time that may be unknown: "null" then.
void AppendTimeOrNull(bool known, const RenderedTimestamp& t, std::string* out) {
  if (known)
    AppendTime(t, out);
  else
    out->append("null");
}

// "current", or the shadow copy's number and creation time.
void AppendStore(const FileTimestampRecord& r, std::string* out) {
  if (!r.in_store()) {
    out->append("current");
    return;
  }
  AppendInt(static_cast<int>(r.store()), out);
  out->append(" ");
  AppendTime(r.store_made(), out);
}

// A column's value as the text layouts show it.
void AppendTextCell(const Column& c, const FileTimestampRecord& r, std::string* out) {
  switch (c.cell) {
    case Cell::kTime: AppendTimeOrNull(r.facts.Has(c.fact), r.Time(c.fact), out); break;
    case Cell::kCount: AppendCountOrNull(r, c.fact, out); break;
    case Cell::kVerdict: {
      const char* verdict = r.Verdict(c.fact);
      out->append(verdict != nullptr ? verdict : "null");
      break;
    }
    case Cell::kFlag:
      out->append(!r.facts.Has(c.fact) ? "null" : r.facts.Get(c.fact) != 0 ? "yes" : "no");
      break;
    case Cell::kState: out->append(StateText(r)); break;
    case Cell::kAlerts:
    case Cell::kNotes:
    case Cell::kFinding: AppendSignText(c, r, out); break;
    case Cell::kStore: AppendStore(r, out); break;
    case Cell::kEarlier: AppendEarlierText(c, r, "null", true, out); break;
  }
}

// One labelled line a column; a file in use has no state line, and a
// group's times that were not read have none where the group says so.
void AppendBlockGroup(const FieldGroup& g, const FileTimestampRecord& r, std::string* out) {
  const bool unread = g.block_omits_unread && !r.facts.Any(g.witness);
  ForEachColumn(g, r.fields, [&](const Column& c) {
    if (c.block == nullptr || (unread && !IsSignCell(c.cell)) ||
        (c.cell == Cell::kState && !r.deleted && !r.slack))
      return;
    out->append(c.block);
    AppendTextCell(c, r, out);
    out->append(" \n");
  });
}

void PrintBlock(const FileTimestampRecord& r, std::string* out) {
  if (!AppendPrelude(r, out)) return;
  out->append("\n  path: ");
  AppendTextName(r.path, out, false, r.fields.volume_names);
  out->append(" \n    ID: ");
  if (r.id_lost)
    out->append("null");
  else
    AppendInt(static_cast<int>(r.id), out);
  out->append(" \n");
  AppendTimeLines({{{" atime: ", &r.atime},
                    {" mtime: ", &r.mtime},
                    {" ctime: ", &r.ctime},
                    {"crtime: ", &r.crtime}}},
                  !r.slack, out);
  out->append("  type: ").append(r.slack ? "null" : r.type).append(" \n");
  for (bool first : {true, false})
    for (const FieldGroup& g : kFieldGroups)
      if (g.block_first == first && r.fields.has(g.witness)) AppendBlockGroup(g, r, out);
  if (!r.has_object_id) return;
  AppendUuidLines(kObjectIdLabels, r.object_id, out);
  if (!r.has_birth_ids) {
    out->append(
        "\n  BOID: null \nbotime: null \n boseq: null \n boMAC: null \n\n  BVID: null \n\n");
    return;
  }
  AppendUuidLines(kBirthObjectIdLabels, r.birth_object_id, out);
  out->append("\n  BVID: ").append(r.birth_volume_id).append(" \n\n");
}

void AppendUuidFields(const DecodedUuid& u, std::string* out) {
  out->append(u.fields.hex).append(" |");
  AppendTime(u.time, out);
  out->append(" |");
  AppendClockSeq(u.fields.clockseq, out);
  out->append(" |").append(u.fields.node).append(" |");
}

void PrintRow(const FileTimestampRecord& r, std::string* out) {
  if (!AppendPrelude(r, out, true)) return;
  AppendTextName(r.path, out, true, r.fields.volume_names);
  out->append(" |");
  if (r.id_lost)
    out->append("null");
  else
    AppendInt(static_cast<int>(r.id), out);
  out->append(" |");
  for (const RenderedTimestamp* t : {&r.atime, &r.mtime, &r.ctime, &r.crtime}) {
    AppendTimeOrNull(!r.slack, *t, out);
    out->append(" |");
  }
  out->append(r.slack ? "null" : r.type).append(" |");
  if (!r.has_object_id) {
    out->append("null | null | null | null | null | null | null | null | null");
  } else {
    AppendUuidFields(r.object_id, out);
    if (r.has_birth_ids) {
      AppendUuidFields(r.birth_object_id, out);
      out->append(r.birth_volume_id);
    } else {
      out->append("null | null | null | null | null");
    }
  }
  // The fields the run asked for follow, each after " |".
  std::size_t before = out->size();
  for (const FieldGroup& g : kFieldGroups) {
    if (!r.fields.has(g.witness)) continue;
    ForEachColumn(g, r.fields, [&](const Column& c) {
      if (c.row == nullptr) return;
      out->append(" |");
      AppendTextCell(c, r, out);
    });
  }
  // A row ends in " \n", but for the nulls alone, which end in "\n".
  out->append(r.has_object_id || out->size() != before ? " \n" : "\n");
}

std::string NoHeader(RecordFields) { return {}; }

std::string RowHeader(RecordFields fields) {
  std::string header =
      "FILENAME | ID | atime | mtime | ctime | crtime | TYPE | Object ID | otime | oseq | oMAC | "
      "BirthObject ID | botime | boseq | boMAC | BirthVolume ID";
  for (const FieldGroup& g : kFieldGroups) {
    if (!fields.has(g.witness)) continue;
    ForEachColumn(g, fields, [&](const Column& c) {
      if (c.row != nullptr) header.append(" | ").append(c.row);
    });
  }
  return header + " \n";
}

}  // namespace

void AppendErrorLine(std::string_view path, int code, std::string_view text, std::string* out,
                     bool row, bool volume) {
  out->append("\n");
  AppendTextName(path, out, row, volume);
  out->append(", CODE=");
  AppendInt(code, out);
  out->append(":").append(text).append("\n");
}

const Layout kBlockLayout = {NoHeader, PrintBlock};
const Layout kNoLayout = {NoHeader, [](const FileTimestampRecord&, std::string*) {}, true};
const Layout kRowLayout = {RowHeader, PrintRow};

}  // namespace qst
