// The page of --report, opened by headless Chromium: its counts against
// --json's on the same volume, the flagged files exactly those with signs,
// sorting and filtering, names that cannot inject markup, no request
// leaving the file and no console error.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "ntfs_builder.h"
#include "run_binary.h"
#include "scratch_ntfs.h"
#include "test_env.h"

namespace qst {
namespace {

using testing::Capture;
using testing::ReadFile;
using testing::RunQst;
using testing::ShellQuote;

// Markup, a reference, both quotes and a control character; no slash, which
// no name holds.
constexpr char kEvil[] = "<b id=\"x\">&'\"<svg onload=bad()>\x01.txt";

class ReportPage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (std::system("command -v chromium >/dev/null") != 0) {
      skip_ = "needs chromium";
      return;
    }
    volume_.Make("qst_report", 16);
    if (!volume_.skip.empty()) {
      skip_ = volume_.skip;
      return;
    }
    const std::string m = volume_.mount;
    std::system(("mkdir -p " + m + "/cases").c_str());
    // Files whose times were set years back, written before they were
    // made, and plain ones.
    for (int i = 0; i < 30; ++i) {
      std::string f = m + "/cases/f" + std::to_string(i) + ".txt";
      std::ofstream(f) << i;
      if (i % 3 == 0)
        testing::SetNtfsTimes(f, 130000000000000000 + i * 100000000000ull,
                              129000000000000000 + i * 100000000000ull, 131000000000000000);
    }
    std::ofstream(m + "/cases/" + kEvil) << "x";
    testing::SetNtfsTimes(m + "/cases/" + kEvil, 130000000000000000, 129000000000000000,
                          131000000000000000);
    // A deleted file, its record not used again.
    std::system(
        ("echo gone > " + m + "/cases/gone.txt && rm " + m + "/cases/gone.txt && umount " + m)
            .c_str());
    volume_.mounted = false;
    // Their change times, which ntfs-3g keeps as its own, then set back too
    // in the record's bytes.
    std::string listed = RunQst({"-d", volume_.image, "-e", "-r", "C:\\cases"}).out;
    for (std::size_t pos = listed.find('\n') + 1; pos != 0 && pos < listed.size();
         pos = listed.find('\n', pos) + 1) {
      std::string row = listed.substr(pos, listed.find('\n', pos) - pos);
      if (row.find(" |2012/") == std::string::npos && row.find(" |2013/") == std::string::npos)
        continue;
      std::uint64_t record = std::stoull(row.substr(row.find(" |") + 2));
      testing::PatchStandardInformation(volume_.image, record, [](std::uint64_t* t, int i) {
        if (i == 2) *t = 131000000000000000;
      });
    }
    page_ = volume_.dir + "/report.html";
    auto r = RunQst({"-d", volume_.image, "-n", "-a", "-r", "C:\\", "--report=" + page_});
    status_ = r.status;
    out_ = r.out;
  }
  static void TearDownTestSuite() { volume_.Remove(); }
  void SetUp() override {
    if (!skip_.empty()) QST_SKIP() << skip_;
  }

  // The page's DOM once its script ran, opened at `fragment`; Chromium's
  // log in `*log`.
  static std::string Dom(const std::string& fragment = "", std::string* log = nullptr) {
    std::string err = volume_.dir + "/chromium.log";
    std::string dom = Capture(
        "timeout 60 chromium --headless --no-sandbox --disable-gpu "
        "--enable-logging=stderr --v=0 --dump-dom " +
        ShellQuote("file://" + page_ + fragment) + " 2>" + err);
    if (log != nullptr) *log = ReadFile(err);
    return dom;
  }

  // What Python's HTML parser reads of the DOM: the data- counts as
  // "name=value count" lines, then the table's rows, one per line, cells
  // joined by " | ".
  static std::string Read(const std::string& dom) {
    std::string script = volume_.dir + "/read.py";
    std::ofstream(script) << R"(
import html.parser, sys
class P(html.parser.HTMLParser):
    def __init__(s):
        super().__init__(); s.counts = []; s.key = None; s.rows = []; s.row = None; s.cell = None
        s.in_table = False; s.hidden = False
    def handle_starttag(s, tag, attrs):
        a = dict(attrs)
        for k, v in attrs:
            if k.startswith('data-') and k not in ('data-v',):
                s.key = k + ('=' + v if v else '')
        if tag == 'table' and a.get('id') == 'flagged': s.in_table = True
        if s.in_table and tag == 'tr' and s.row is None:
            s.row = []; s.hidden = 'hidden' in a
        if s.row is not None and tag in ('td', 'th'): s.cell = ''
    def handle_endtag(s, tag):
        if s.key and tag in ('dd', 'td', 'p', 'span'): s.key = None
        if s.row is not None and tag in ('td', 'th') and s.cell is not None:
            s.row.append(s.cell); s.cell = None
        if s.row is not None and tag == 'tr':
            if not s.hidden: s.rows.append(' | '.join(s.row))
            s.row = None
        if tag == 'table': s.in_table = False
    def handle_data(s, d):
        if s.key: s.counts.append(s.key + ' ' + d.strip()); s.key = None
        if s.cell is not None: s.cell += d
p = P(); p.feed(sys.stdin.read())
print('\n'.join(p.counts)); print('--'); print('\n'.join(p.rows))
)";
    std::string input = volume_.dir + "/dom.html";
    std::ofstream(input) << dom;
    return Capture("python3 " + script + " <" + input);
  }

  static inline testing::ScratchNtfs volume_;
  static inline std::string skip_, page_, out_;
  static inline int status_ = -1;
};

TEST_F(ReportPage, CountsAreThoseOfTheRecords) {
  EXPECT_EQ(status_, 0);
  EXPECT_EQ(out_, "") << "with --report alone, the page is all the run writes";
  std::string json = RunQst({"-d", volume_.image, "-n", "-a", "-r", "C:\\", "--json"}).out;
  std::string counted = Capture(
      "printf '%s' " + ShellQuote(json) +
      " | python3 -c 'import json,sys,collections\n"
      "r=[json.loads(l) for l in sys.stdin]\n"
      "c=collections.Counter()\n"
      "for x in r:\n"
      "  c[\"data-files\" if not x[\"folder\"] else \"data-folders\"]+=1\n"
      "  c[\"data-deleted\"]+=x[\"state\"]==\"deleted\"\n"
      "  c[\"data-flagged\"]+=bool(x[\"alerts\"])\n"
      "  c[\"data-type=\"+x[\"type\"]]+=1\n"
      "  for s in x[\"alerts\"]: c[\"data-sign=\"+s]+=1\n"
      "  for s in x[\"notes\"]: c[\"data-sign=\"+s]+=1\n"
      "  c[\"data-finding=\"+x[\"finding\"][\"verdict\"]]+=1\n"
      "  for w in x[\"finding\"][\"witnesses\"]: c[\"data-witness=\"+w]+=1\n"
      "for f in (\"suspect\",\"provenance\",\"consistent\",\"unread\"): "
      "c[\"data-finding=\"+f]+=0\n"
      "for w in (\"FN\",\"USN\",\"VSS\",\"I30\",\"LOG\",\"OID\"): c[\"data-witness=\"+w]+=0\n"
      "for s in (\"SI<FN\",\"SI>FN\",\"SI-seconds\",\"set-seconds\",\"ctime<volume\",\"OID<SI\","
      "\"copied\","
      "\"extracted\",\"seconds\",\"SI<volume\",\"FN<volume\",\"clock-1/64\"): "
      "c[\"data-sign=\"+s]+=0\n"
      "c[\"data-errors\"]+=0\n"
      "print(\"\\n\".join(sorted(k+\" \"+str(v) for k,v in c.items())))'");
  std::string read = Read(Dom());
  std::string counts = read.substr(0, read.find("--\n"));
  std::vector<std::string> lines = testing::SortedLines(counts);
  lines.erase(std::remove(lines.begin(), lines.end(), ""), lines.end());
  std::vector<std::string> expected = testing::SortedLines(counted);
  expected.erase(std::remove(expected.begin(), expected.end(), ""), expected.end());
  EXPECT_EQ(lines, expected);
  EXPECT_NE(counts.find("data-sign=ctime<volume 11"), std::string::npos) << counts;
  EXPECT_NE(counts.find("data-sign=copied 11"), std::string::npos) << counts;
  // The finding first: the run, the flagged files, the counts, the chart,
  // then the signs and notes, those no file carries folded away.
  const std::string dom = Dom();
  std::size_t at = 0;
  for (const char* id :
       {"run", "flagged-files", "findings", "verdicts", "timeline", "signs", "notes"}) {
    const std::size_t next = dom.find(std::string("<section id=\"") + id + "\"");
    ASSERT_NE(next, std::string::npos) << id;
    EXPECT_GE(next, at) << id;
    at = next;
  }
  EXPECT_NE(dom.find("that no file carries</summary>"), std::string::npos);
  // Local times name their zone: its offset from UTC, then its name.
  EXPECT_TRUE(std::regex_search(dom, std::regex("<dt>Times</dt><dd>local time \\(UTC[+-]"
                                                "[0-9]{2}:[0-9]{2}(, [^)<]+)?\\)</dd>")))
      << dom.substr(dom.find("<dt>Times"), 80);
}

TEST_F(ReportPage, TheTableHoldsTheFlaggedFilesSortedAndFiltered) {
  std::string json = RunQst({"-d", volume_.image, "-n", "-a", "-r", "C:\\", "--json"}).out;
  std::string flagged =
      Capture("printf '%s' " + ShellQuote(json) +
              " | python3 -c 'import json,sys\n"
              "print(\"\\n\".join(sorted(x[\"path\"] for x in map(json.loads, sys.stdin) if "
              "x[\"alerts\"])))'");
  auto paths = [](const std::string& read) {
    std::string rows = read.substr(read.find("--\n") + 3);
    std::string out;
    for (std::size_t pos = rows.find('\n') + 1; pos < rows.size();) {  // past the heading
      std::size_t end = rows.find('\n', pos);
      std::string row = rows.substr(pos, end - pos);
      out += row.substr(0, row.find(" | ")) + "\n";
      pos = end + 1;
    }
    return out;
  };
  // Sorted by path (column 0), as Python sorts them; the control
  // character shows as <01>.
  std::string sorted = paths(Read(Dom("#sort=0")));
  std::string expected = flagged;
  std::size_t control = expected.find('\x01');
  ASSERT_NE(control, std::string::npos);
  expected.replace(control, 1, "<01>");
  std::vector<std::string> e = testing::SortedLines(expected), s = testing::SortedLines(sorted);
  EXPECT_EQ(s, e);
  EXPECT_EQ(std::count(sorted.begin(), sorted.end(), '\n'), 11);
  // Descending by $SI creation (column 2): the latest first.
  std::string by_time = paths(Read(Dom("#sort=2&desc=1")));
  EXPECT_EQ(by_time.substr(0, by_time.find('\n')), "C:\\cases\\f27.txt") << by_time;
  // Filtered: the rows that hold the text, no others.
  std::string filtered = paths(Read(Dom("#filter=f2")));
  EXPECT_EQ(
      testing::SortedLines(filtered),
      (std::vector<std::string>{"C:\\cases\\f21.txt", "C:\\cases\\f24.txt", "C:\\cases\\f27.txt"}));
}

TEST_F(ReportPage, NamesCannotInjectMarkupNorRequestsLeaveTheFile) {
  std::string log;
  std::string dom = Dom("", &log);
  // Chromium logs each console message and each refused request.
  EXPECT_EQ(log.find("CONSOLE"), std::string::npos) << log;
  EXPECT_EQ(log.find("Refused"), std::string::npos) << log;
  // The name is text: no element it spells exists.
  EXPECT_EQ(dom.find("<b id=\"x\">"), std::string::npos);
  EXPECT_EQ(dom.find("<svg onload"), std::string::npos);
  EXPECT_NE(dom.find("&lt;b id=\"x\"&gt;&amp;'\"&lt;svg onload=bad()&gt;&lt;01&gt;.txt"),
            std::string::npos)
      << dom;
  // Nothing to fetch: no source, link or url() outside the page, and a
  // policy that refuses any.
  std::string page = ReadFile(page_);
  for (const char* outside : {" src=", " href=", "url(http", "url(//", "@import", "//fonts"})
    EXPECT_EQ(page.find(outside), std::string::npos) << outside;
  EXPECT_NE(page.find("Content-Security-Policy\" content=\"default-src 'none'"), std::string::npos);
  // Pictures of the page at a narrow and a wide window, for a person to
  // look at, kept beside the build.
  std::string bin = QST_BINARY;
  for (const char* width : {"800", "1600"}) {
    std::string shot = bin.substr(0, bin.rfind('/')) + "/report-screenshot-" + width + ".png";
    EXPECT_EQ(std::system(("timeout 60 chromium --headless --no-sandbox --disable-gpu "
                           "--hide-scrollbars --window-size=" +
                           std::string(width) + ",1800 --screenshot=" + shot + " " +
                           ShellQuote("file://" + page_) + " >/dev/null 2>&1")
                              .c_str()),
              0);
    EXPECT_GT(ReadFile(shot).size(), 10000u);
  }
}

TEST_F(ReportPage, BesideALayoutAndRefusedWhereItCouldHarmEvidence) {
  std::string beside = volume_.dir + "/beside.htm";
  auto r = RunQst({"-d", volume_.image, "-e", "-u", "C:\\cases\\f0.txt", "--report=" + beside});
  EXPECT_EQ(r.out, RunQst({"-d", volume_.image, "-e", "-u", "C:\\cases\\f0.txt"}).out);
  EXPECT_NE(ReadFile(beside).find("<dd data-files>1</dd>"), std::string::npos);
  // Only a page is written, never over an image or a list by mistake.
  r = RunQst({"-d", volume_.image, "C:\\", "--report=" + volume_.image});
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.err, "qst: --report wants a file ending in .html, not '" + volume_.image + "'\n");
  r = RunQst({"-d", volume_.image, "C:\\", "--report=/nonexistent/r.html"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "qst: cannot write the report /nonexistent/r.html: No such file or directory\n");
}

}  // namespace
}  // namespace qst

namespace qst {
namespace {

using namespace testing::ntfs;
using testing::ReadFile;
using testing::RunQst;

// The page without its command line, which names the threads.
std::string WithoutCommand(std::string page) {
  std::size_t at = page.find("<dt>Command</dt>");
  if (at != std::string::npos) page.erase(at, page.find('\n', at) - at);
  return page;
}

TEST(ReportThreads, ThePageIsThatOfOneThreadHoweverManyBuildIt) {
  // A bare MFT of more flagged files than the table holds, printed in many
  // batches: the counts, the chart and the first rows are the same whatever
  // the threads.
  constexpr std::uint64_t kFirst = 64, kFiles = 24000;
  VolumeBuilder b;
  std::string mft = b.bytes().substr(b.RecordAt(0), kRecords * kRecord);
  mft.resize((kFirst + kFiles) * kRecord, '\0');
  for (std::uint64_t i = 0; i < kFiles; ++i) {
    const std::uint64_t created = 130000000000000000 + i * 1000000000;
    std::string times = StandardInformation(created);
    if (i % 3 != 0) Put(times, 0, created - 10000000, 8);  // made before its name: SI<FN
    std::u16string name = u"f";
    for (char c : std::to_string(i)) name += static_cast<char16_t>(c);
    std::string file_name = FileName(5, 5, name);
    Put(file_name, 8, created, 8);  // made then, as NTFS writes it into the name
    mft.replace((kFirst + i) * kRecord, kRecord,
                RecordBuilder(1, 1).Resident(0x10, times).Resident(0x30, file_name).Close());
  }
  const std::string dir = ::testing::TempDir() + "/qst_report_threads_" + std::to_string(getpid());
  ASSERT_EQ(std::system(("mkdir -p " + dir).c_str()), 0);
  std::ofstream(dir + "/mft.bin", std::ios::binary) << mft;
  std::string pages[2];
  for (int j : {0, 1}) {
    const std::string page = dir + "/page" + std::to_string(j) + ".html";
    auto r = RunQst({"-d", dir + "/mft.bin", "-j", j == 0 ? "1" : "4", "-n", "-e", "-r", "C:\\",
                     "--report=" + page});
    EXPECT_EQ(r.status, 0) << r.err;
    pages[j] = WithoutCommand(ReadFile(page));
  }
  EXPECT_NE(pages[0].find("data-flagged>16000<"), std::string::npos);
  EXPECT_NE(pages[0].find("data-sign=\"SI&lt;FN\">16000<"), std::string::npos);
  EXPECT_EQ(std::count(pages[0].begin(), pages[0].end(), '\n'),
            std::count(pages[1].begin(), pages[1].end(), '\n'));
  EXPECT_TRUE(pages[0] == pages[1]);
  std::system(("rm -rf " + dir).c_str());
}

}  // namespace
}  // namespace qst
