// Whether a name, any name, leaves every form's shape as it is: a file's
// record and a journal record named so print as many lines, rows and
// fields in each form as those of a plain name. Shared by the property test
// and the fuzz target of the forms.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "print/layout.h"
#include "print/listings/journal.h"
#include "probe/record.h"
#include "probe/witnesses/usn/usn-journal.h"

namespace qst::testing {

class UtcZone : public LocalTimeConverter {
 public:
  bool ToLocalTime(const SYSTEMTIME& utc, SYSTEMTIME* local) const override {
    *local = utc;
    return true;
  }
};

// `bytes` in hex, to say which name failed.
inline std::string Escaped(std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (char c : bytes) {
    hex += kDigits[static_cast<unsigned char>(c) >> 4];
    hex += kDigits[static_cast<unsigned char>(c) & 15];
  }
  return hex;
}

// The records of RFC 4180 text, each a list of fields.
inline std::vector<std::vector<std::string>> ParseCsv(std::string_view text) {
  std::vector<std::vector<std::string>> records(1, std::vector<std::string>(1));
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        records.back().back() += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        records.back().back() += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      records.back().emplace_back();
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      records.emplace_back(1);
      ++i;
    } else {
      records.back().back() += c;
    }
  }
  if (records.back().size() == 1 && records.back()[0].empty()) records.pop_back();
  return records;
}

// A line-by-line shape: each line's count of `separator`.
inline std::vector<std::size_t> Shape(const std::string& text, std::string_view separator) {
  std::vector<std::size_t> shape;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string_view line(text.data() + start, end - start);
    std::size_t n = 0;
    for (std::size_t at = 0; (at = line.find(separator, at)) != std::string_view::npos;
         at += separator.size())
      ++n;
    shape.push_back(n);
  }
  if (start != text.size()) shape.push_back(~std::size_t{0});  // text after the last line
  return shape;
}

// Control bytes other than the line ends' own.
inline bool HasControlBytes(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u < 0x20 && c != '\n' && c != '\r') || u == 0x7f;
  });
}

// What a file named `name` (in C:\d) and a journal record of that name
// print in each form, beside the same of a plain name: an empty string when
// every shape is kept, else which form broke and how.
inline std::string FormShapeFault(std::string_view name, std::u16string_view journal_name) {
  static const UtcZone zone;
  RawFileInfo raw;
  raw.file_index = 41;
  raw.basic = {129524953617302915, 129514863094182273, 129514863100026148, 129512692758610936, 0};
  raw.has_object_id = true;
  raw.facts.Set(Fact::kNameCreation, raw.basic.CreationTime);
  raw.facts.Set(Fact::kNameWrite, raw.basic.LastWriteTime);
  raw.facts.Set(Fact::kNameChange, raw.basic.ChangeTime);
  raw.facts.Set(Fact::kNameAccess, raw.basic.LastAccessTime);
  RecordFields fields;
  for (int w = 0; w < kWitnessCount; ++w) fields.witnesses.add(static_cast<Witness>(w));
  struct Form {
    const char* what;
    const Layout* layout;
    bool iso;
    const char* separator;
  } forms[] = {{"block", &kBlockLayout, false, "\n"}, {"rows", &kRowLayout, false, " |"},
               {"JSON", &kJsonLayout, true, "\n"},    {"CSV", &kRfc4180Layout, true, ","},
               {"body", &kBodyfileLayout, true, "|"}, {"events", &kEventsLayout, true, "\n"}};
  for (const Form& f : forms) {
    std::string plain, named;
    f.layout->print(BuildRecord("C:\\d\\x", raw, TimeForm{true, f.iso}, zone, fields), &plain);
    f.layout->print(
        BuildRecord("C:\\d\\" + std::string(name), raw, TimeForm{true, f.iso}, zone, fields),
        &named);
    if (f.layout == &kRfc4180Layout) {
      auto a = ParseCsv(plain), b = ParseCsv(named);
      if (a.size() != b.size() || a[0].size() != b[0].size()) return std::string("CSV: ") + named;
    } else if (Shape(plain, f.separator) != Shape(named, f.separator)) {
      return std::string(f.what) + ": " + named;
    }
    if (f.iso && f.layout != &kRfc4180Layout && HasControlBytes(named))
      return std::string(f.what) + " holds control bytes: " + named;
  }
  UsnRecord record;
  record.major = 3;
  record.usn = 4096;
  record.file = 0x0001000000000029;
  record.parent = 0x0005000000000005;
  record.has_time = true;
  record.time = raw.basic.CreationTime;
  record.reason = 0x100;
  const ListingForm journal_forms[] = {ListingForm::kBlock,    ListingForm::kRow,
                                       ListingForm::kJson,     ListingForm::kCsv,
                                       ListingForm::kBodyfile, ListingForm::kEvents};
  for (ListingForm form : journal_forms) {
    const bool iso = form != ListingForm::kBlock && form != ListingForm::kRow;
    const char* separator = form == ListingForm::kRow        ? " |"
                            : form == ListingForm::kBodyfile ? "|"
                                                             : "\n";
    std::string plain, named;
    record.name = u"x";
    PrintJournalRecord(record, "C:\\d\\x", form, TimeForm{true, iso}, zone, &plain);
    record.name = journal_name;
    PrintJournalRecord(record, "", form, TimeForm{true, iso}, zone, &named);
    if (form == ListingForm::kCsv) {
      auto a = ParseCsv(plain), b = ParseCsv(named);
      if (a.size() != b.size() || a[0].size() != b[0].size()) return "journal CSV: " + named;
    } else if (Shape(plain, separator) != Shape(named, separator)) {
      return "journal form " + std::to_string(static_cast<int>(form)) + ": " + named;
    }
  }
  return "";
}

}  // namespace qst::testing
