// The forms for other programs and the page: CSV fields no spreadsheet runs,
// the page's losses, charts and signs, names as text, events a search engine
// takes whole, and every form's shape whatever a name holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>

#include "cli/report.h"
#include "fake_platform.h"
#include "form_shape.h"
#include "memo_sample.h"
#include "print/form-text.h"
#include "print/html-report.h"
#include "print/layout.h"
#include "print/schema.h"

namespace qst {
namespace {

using testing::Memo;

TEST(CsvText, NoNameRunsAsAFormulaAndEachComesBackExactly) {
  const struct {
    std::string name, field;
  } cases[] = {
      {"=1+2", "'=1+2"},
      {"+1", "'+1"},
      {"-x.txt", "'-x.txt"},
      {"@SUM(A1)", "'@SUM(A1)"},
      {"\tx", "'\tx"},
      {"\rx", "\"'\rx\""},
      {"=a,b", "\"'=a,b\""},
      {"'=x", "''=x"},  // an apostrophe of its own is kept, one more in front
      {"''", "''"},
      {"'x", "'x"},
      {"a=b", "a=b"},
      {"C:\\=x", "C:\\=x"},
  };
  for (const auto& c : cases) {
    std::string field;
    AppendCsvName(c.name, &field);
    EXPECT_EQ(field, c.field) << c.name;
    // A program takes one apostrophe off a field that starts with the
    // ones a formula would.
    std::string back = field.front() == '"' ? field.substr(1, field.size() - 2) : field;
    const std::size_t first = back.find_first_not_of('\'');
    if (first != std::string::npos && first > 0 &&
        std::string_view("=+-@\t\r").find(back[first]) != std::string_view::npos)
      back.erase(0, 1);
    EXPECT_EQ(back, c.name);
  }
  // A NUL, at which programs that read CSV end a text, as the text layouts
  // write it.
  std::string field;
  AppendCsvName(std::string("a\0b", 3), &field);
  EXPECT_EQ(field, "a<00>b");
}

TEST(HtmlPage, SaysWhatWasNotReadAndLossesLineByLine) {
  testing::FakePlatform zone;
  RecordFields fields;
  fields.witnesses.add(Witness::kFileName);
  HtmlReport report(fields, TimeForm{true, false}, zone);
  ReportRun run;
  run.losses = "qst: a.img: 2 records lost\nqst: a.img: USN journal read in part\n";
  std::string page = report.Page(run);
  EXPECT_NE(
      page.find("<pre>qst: a.img: 2 records lost\nqst: a.img: USN journal read in part\n</pre>"),
      std::string::npos);
  EXPECT_EQ(page.find("&lt;0A&gt;"), std::string::npos);
  // A witness the volume never had is no loss.
  run.losses += "qst: a.img: no volume shadow copies\n";
  run.absent = "qst: a.img: no volume shadow copies\n";
  page = report.Page(run);
  EXPECT_NE(
      page.find("<pre>qst: a.img: 2 records lost\nqst: a.img: USN journal read in part\n</pre>"
                "</dd>\n<dt>Not on this volume</dt><dd><pre>qst: a.img: no volume shadow "
                "copies\n</pre>"),
      std::string::npos);
  // Without the volume's creation, its signs were not read; with it, they
  // were (and fired on nothing here).
  EXPECT_NE(page.find("<code>ctime&lt;volume</code></td><td>not read (needs -d)"),
            std::string::npos);
  EXPECT_NE(page.find("<code>SI&lt;USN</code></td><td>not read (needs -U)"), std::string::npos);
  run.has_created = true;
  run.created = 130000000000000000;
  page = report.Page(run);
  EXPECT_NE(page.find("data-sign=\"ctime&lt;volume\">0<"), std::string::npos);
  EXPECT_NE(page.find("<dt>Volume made</dt>"), std::string::npos);
}

TEST(HtmlPage, AFlaggedFileShowsTheValuesEachSignWeighsAndItsHonestCauses) {
  constexpr FILETIME kDay = 864000000000;
  const FILETIME created = Memo(false).basic.CreationTime;  // 2011/05/30 22:47:55.8610936
  const struct {
    Witness witness;
    Fact fact;
    FILETIME value;
    const char* shown;  // the row's text for the sign
  } cases[] = {
      {Witness::kFileName, Fact::kNameCreation, created + kDay,
       "<code>SI&lt;FN</code>: $SI creation <span class=\"v\">2011/05/30 22:47:55.861093600</span> "
       "against $FN creation <span class=\"v\">2011/05/31 22:47:55.861093600</span>"},
      {Witness::kIndex, Fact::kIndexCreation, created - 7,
       "<code>SI!=I30</code>: $SI creation <span class=\"v\">2011/05/30 22:47:55.861093600</span> "
       "against $I30 creation <span class=\"v\">2011/05/30 22:47:55.861092900</span>"},
      {Witness::kUsn, Fact::kUsnCreated, created + kDay / 24,
       "<code>SI&lt;USN</code>: $SI creation <span class=\"v\">2011/05/30 "
       "22:47:55.861093600</span> "
       "against journal's File create <span class=\"v\">2011/05/30 23:47:55.861093600</span>"},
  };
  testing::FakePlatform zone;
  for (const auto& c : cases) {
    RecordFields fields;
    fields.witnesses.add(c.witness);
    fields.report = true;
    HtmlReport report(fields, TimeForm{true, false}, zone);
    RawFileInfo raw = Memo(false);
    raw.facts.Set(c.fact, c.value);
    report.Add(BuildRecord("C:\\f", raw, TimeForm{true, false}, zone, fields));
    const std::string page = report.Page(ReportRun{});
    EXPECT_NE(page.find(c.shown), std::string::npos) << c.shown << "\n" << page;
    const std::size_t sign = page.find(c.shown);
    EXPECT_NE(page.find("<small>Also: ", sign), std::string::npos);
  }
}

TEST(HtmlPage, TheChartsBarsAndTicksFitTheTimes) {
  // Files made over a span: the bars are the least calendar step that holds
  // it in a hundred, the axis ticks at round times, each series in the
  // legend and in the chart's table.
  constexpr FILETIME kStart = 133500000000000000;  // 2024-01-17 21:20:00 UTC
  constexpr FILETIME kMinute = 600000000, kDay = 1440 * kMinute;
  const struct {
    FILETIME span;
    const char* bars;
    const char* first_tick;
  } cases[] = {
      {25 * kMinute, "bars of 30 seconds", ">2024/01/17 21:25:00<"},
      {3 * kDay, "bars of 1 hour", ">2024/01/18<"},
      {200 * 365 * kDay, "bars of 5 years", ">"},
  };
  testing::FakePlatform zone;
  for (const auto& c : cases) {
    RecordFields fields;
    fields.witnesses.add(Witness::kFileName);
    HtmlReport report(fields, TimeForm{true, false}, zone);
    for (FILETIME t = 0; t <= 100; ++t) {
      RawFileInfo raw = Memo(false);
      raw.basic.CreationTime = kStart + c.span / 100 * t;
      raw.facts.Set(Fact::kNameCreation, raw.basic.CreationTime);
      report.Add(
          BuildRecord("C:\\f" + std::to_string(t), raw, TimeForm{true, false}, zone, fields));
    }
    const std::string page = report.Page(ReportRun{});
    EXPECT_NE(page.find(c.bars), std::string::npos) << c.bars;
    const std::size_t tick = page.find("text-anchor=\"middle\"");
    ASSERT_NE(tick, std::string::npos);
    EXPECT_NE(page.find(c.first_tick, tick), std::string::npos) << page.substr(tick, 120);
    EXPECT_NE(page.find("files by $SI creation</text>"), std::string::npos);
    EXPECT_NE(page.find("$FILE_NAME creation</text>"), std::string::npos);
    EXPECT_EQ(page.find("journal: File create</text>"), std::string::npos);
    EXPECT_NE(page.find("<th>$FILE_NAME</th>"), std::string::npos);
    EXPECT_NE(page.find("0 earlier and 0 later files"), std::string::npos);
  }
}

TEST(HtmlPage, TheChartsRangeHoldsWhatItDrawsAndCountsWhatItDoesNot) {
  // Times at both ends of what a FILETIME holds: the range runs from the
  // first to the last, never wrapping past 2^64 ticks; a $FILE_NAME time
  // beyond the bars' range is counted in the caption.
  constexpr FILETIME kLast = ~FILETIME{0};
  const struct {
    std::vector<FILETIME> created;
    FILETIME name;
    const char* range;
    const char* outside;
  } cases[] = {
      {{0, 0x7FFFFFFFFFFFFFFF, kLast},
       0,
       "0 earlier and 1 later files are outside the chart; outside it too: 1 $FILE_NAME creation "
       "time.",
       "Files by creation time, 1601/01/01 to 30828/09/14"},
      {std::vector<FILETIME>(300, 133500000000000000), kLast,
       "0 earlier and 0 later files are outside the chart; outside it too: 1 $FILE_NAME "
       "creation time.",
       "Files by creation time, 2024/01/17 21:20:00 to 2024/01/17 21:20:00"},
  };
  testing::FakePlatform zone;
  for (const auto& c : cases) {
    RecordFields fields;
    fields.witnesses.add(Witness::kFileName);
    HtmlReport report(fields, TimeForm{true, false}, zone);
    for (std::size_t i = 0; i < c.created.size(); ++i) {
      RawFileInfo raw = Memo(false);
      raw.basic.CreationTime = c.created[i];
      raw.facts.Set(Fact::kNameCreation, i == 0 && c.name != 0 ? c.name : c.created[i]);
      report.Add(
          BuildRecord("C:\\f" + std::to_string(i), raw, TimeForm{true, false}, zone, fields));
    }
    const std::string page = report.Page(ReportRun{});
    EXPECT_NE(page.find(c.range), std::string::npos) << page.substr(page.find("<svg"), 600);
    EXPECT_NE(page.find(c.outside), std::string::npos) << page.substr(page.find("<svg"), 600);
    // The y axis is marked below its top too.
    EXPECT_NE(page.find("text-anchor=\"end\" x=\"46\" y=\"224\">0</text>"), std::string::npos);
  }
}

TEST(HtmlText, NamesAreTextWhateverTheyHold) {
  struct Case {
    std::string name, html;
  };
  const Case cases[] = {
      {"plain \xc3\xa9.txt", "plain \xc3\xa9.txt"},
      {"<b>&'\"</b>", "&lt;b&gt;&amp;&#39;&quot;&lt;/b&gt;"},
      {"line\nbreak\x7f", "line&lt;0A&gt;break&lt;7F&gt;"},
      {"not utf-8 \xff", "not utf-8 \xef\xbf\xbd"},
      {std::string("nul\0x", 5), "nul&lt;00&gt;x"},
      {"invoice\u202Egpj.exe", "invoice<span class=\"mark\">&lt;U+202E&gt;</span>gpj.exe"},
  };
  for (const Case& c : cases) {
    std::string out;
    AppendHtmlText(c.name, &out);
    EXPECT_EQ(out, c.html) << c.name;
  }
}

TEST(EventForm, NoValueOutgrowsASearchEngineAndLongPathsAreKeptWhole) {
  // A path of 40,000 bytes (deep folders of two-byte characters): each
  // event's values stay under 32,766 bytes, the path is cut at a character
  // and marked, and its hex pieces give it back whole.
  std::string path = "C:";
  while (path.size() < 40000) path += "\\d\xC3\xA9\xC3\xA9\xC3\xA9";
  testing::UtcZone zone;
  std::string events;
  kEventsLayout.print(BuildRecord(path, Memo(false), TimeForm{true, true}, zone), &events);
  ASSERT_EQ(std::count(events.begin(), events.end(), '\n'), 4);
  const std::string line = events.substr(0, events.find('\n'));
  // The longest string value: no event value holds a quote here but those
  // that end it.
  std::size_t longest = 0;
  for (std::size_t at = 0; (at = line.find('"', at)) != std::string::npos;) {
    const std::size_t end = line.find('"', at + 1);
    longest = std::max(longest, end - at - 1);
    at = end + 1;
  }
  EXPECT_LE(longest, 32766u);
  const std::string cut = "\"path\":\"";
  const std::size_t at = line.find(cut) + cut.size();
  const std::string shown = line.substr(at, line.find('"', at) - at);
  EXPECT_EQ(shown.substr(shown.size() - 6), " [cut]");
  std::string escaped;  // the path as JSON writes it
  for (char c : path) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
  EXPECT_EQ(escaped.compare(0, shown.size() - 6, shown, 0, shown.size() - 6), 0);
  EXPECT_GT(shown.size(), 15000u);
  EXPECT_NE(line.find("\"message\":\"" + shown + ": $SI Creation Time\""), std::string::npos);
  std::string hex;
  const std::string parts = "\"path_hex_parts\":[";
  std::size_t p = line.find(parts) + parts.size();
  while (line[p] == '"') {
    const std::size_t end = line.find('"', p + 1);
    hex += line.substr(p + 1, end - p - 1);
    p = end + 1 + (line[end + 1] == ',');
  }
  std::string whole;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    whole += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  EXPECT_EQ(whole, path);
}

TEST(FormShape, AnyNameKeepsEveryFormsLinesRowsAndFields) {
  // Names built from the characters that end lines, separate fields, quote,
  // turn text or start formulas, or read as the text layouts' codes, mixed
  // with bytes that are not UTF-8: a file and a journal record so named
  // print as many lines, rows and fields in every form as a plain name does,
  // and what the text layouts show of a volume's name reads back as it.
  const std::vector<std::string> pieces = {"|",
                                           " |",
                                           ",",
                                           "\"",
                                           "'",
                                           "\n",
                                           "\r",
                                           "\r\n",
                                           std::string(1, '\0'),
                                           "\t",
                                           "=",
                                           "+",
                                           "-",
                                           "@",
                                           "\\",
                                           "/",
                                           "<0A>",
                                           "<U+202E>",
                                           "<3C",
                                           "<",
                                           "\xE2\x80\xAE",
                                           "\xE2\x81\xA6",
                                           "\xC3",
                                           "\xFF",
                                           "\xED\xA0\x80",
                                           "a",
                                           " ",
                                           "\x7F",
                                           "\x1B[2J",
                                           "{",
                                           "}",
                                           ":",
                                           "\u00e9"};
  const std::vector<char16_t> units = {u'|',   u',',   u'"',   u'\n',  u'\r', 0,     u'\t', u'=',
                                       0xD800, 0xDC00, 0x202E, 0x2066, u'a',  u'\\', 0x7F,  0xFFFF};
  std::mt19937 random(20261209);
  for (int n = 0; n < 3000; ++n) {
    std::string name;
    std::u16string journal_name;
    for (int k = 1 + static_cast<int>(random() % 8); k > 0; --k) {
      name += pieces[random() % pieces.size()];
      journal_name += units[random() % units.size()];
    }
    EXPECT_EQ(testing::FormShapeFault(name, journal_name), "") << testing::Escaped(name);
    // A volume's name, as the text layouts show it, reads back as itself.
    for (bool row : {false, true}) {
      std::string shown;
      AppendTextName(name, &shown, row, true);
      EXPECT_EQ(PathFromText(shown), name) << testing::Escaped(name) << " shown " << shown;
    }
  }
}

}  // namespace
}  // namespace qst
