// The forms for other programs, read by those programs: jq and Python's json
// for --json, Python's csv for --csv, The Sleuth Kit's mactime for
// --bodyfile.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "run_binary.h"
#include "scratch_ntfs.h"
#include "test_env.h"

namespace qst {
namespace {

using testing::ReadFile;
using testing::RunQst;
using testing::ShellQuote;

struct Shelled {
  int status;
  std::string out;
};

// Runs `command` with `input` on its standard input; what it prints on
// both streams, and its status.
Shelled Shell(const std::string& command, const std::string& input = "") {
  std::string base = ::testing::TempDir() + "/qst_export_" + std::to_string(getpid());
  std::ofstream(base + ".in", std::ios::binary) << input;
  int status = std::system(("(" + command + ") <" + base + ".in >" + base + ".out 2>&1").c_str());
  Shelled r{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(base + ".out")};
  unlink((base + ".in").c_str());
  unlink((base + ".out").c_str());
  return r;
}

// Names that trouble text formats: every byte of each must come back.
const std::vector<std::string> kAwkwardNames = {
    "comma, \"quoted\".txt", "line\nbreak.txt",     "cr\rlf.txt",
    "tab\tand bar|.txt",     "control\x01\x1b.txt", "not utf-8 \xff\xfe.txt",
    "lone \xed\xa0\x80.txt", "ok \xc3\xbc.txt",     "back\\slash.txt"};

// Names separated by NUL bytes, sorted.
std::vector<std::string> SortedNames(const std::string& separated) {
  std::vector<std::string> names;
  for (std::size_t pos = 0, end; (end = separated.find('\0', pos)) != std::string::npos;
       pos = end + 1)
    names.push_back(separated.substr(pos, end - pos));
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> SortedNames(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

class MachineForms : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tree_ = ::testing::TempDir() + "/qst_forms_" + std::to_string(getpid());
    Shell("rm -rf " + ShellQuote(tree_) + " && mkdir -p " + ShellQuote(tree_ + "/sub"));
    for (const std::string& name : kAwkwardNames) std::ofstream(tree_ + "/sub/" + name) << "x";
    volume_.Make("qst_forms", 16);
    if (!volume_.skip.empty()) return;
    const std::string m = volume_.mount;
    Shell("mkdir " + m + "/cases && echo notes > " + m + "/cases/memo.txt && echo b > " + m +
          "/cases/'a, b.txt' && echo gone > " + m + "/cases/gone.txt && rm " + m +
          "/cases/gone.txt");
    testing::SetNtfsTimes(m + "/cases/memo.txt", 129512692758610936, 129514863094182273,
                          129524953617302915);
    // Written before it was made: copied, a sign every run with -n shows.
    testing::SetNtfsTimes(m + "/cases/a, b.txt", 129514863094182273, 129512692758610936,
                          129524953617302915);
    std::string oid(64, '\0');
    for (int i = 0; i < 64; ++i) oid[i] = static_cast<char>(0x10 + i);
    setxattr((m + "/cases/memo.txt").c_str(), "system.ntfs_object_id", oid.data(), oid.size(), 0);
    Shell("umount " + m);
    volume_.mounted = false;
  }
  static void TearDownTestSuite() {
    volume_.Remove();
    Shell("rm -rf " + ShellQuote(tree_));
  }
  void NeedVolume() {
    if (!volume_.skip.empty()) QST_SKIP() << volume_.skip;
  }
  void Need(const char* tool) {
    if (Shell(std::string("command -v ") + tool).status != 0) QST_SKIP() << "needs " << tool;
  }

  static inline testing::ScratchNtfs volume_;
  static inline std::string tree_;
};

TEST_F(MachineForms, EveryJsonLineParsesWithJqAndPython) {
  NeedVolume();
  Need("jq");
  std::string out =
      RunQst({"-d", volume_.image, "--json", "-n", "-a", "-r", "C:\\"}).out +
      RunQst({"-d", volume_.image, "--json", "C:\\cases\\none.txt", "C:\\cases\\memo.txt"}).out +
      RunQst({"--json", "-r", tree_, tree_ + "/missing"}).out;
  std::size_t lines = std::count(out.begin(), out.end(), '\n');
  EXPECT_GT(lines, 15u);
  Shelled jq = Shell("jq -c . | wc -l", out);
  EXPECT_EQ(jq.status, 0);
  EXPECT_EQ(std::stoul(jq.out), lines) << jq.out;
  Shelled py = Shell(
      "python3 -c 'import json,sys; print(sum(1 for l in sys.stdin.buffer if json.loads(l)))'",
      out);
  EXPECT_EQ(py.out, std::to_string(lines) + "\n");
  // Failed paths are objects of the same stream.
  EXPECT_EQ(Shell("jq -r 'select(.error) | \"\\(.error.code) \\(.path)\"'", out).out,
            "2 C:\\cases\\none.txt\n2 " + tree_ + "/missing\n");
}

TEST_F(MachineForms, JsonCarriesExactTimesAndTheObjectId) {
  NeedVolume();
  Need("jq");
  std::string out = RunQst({"-d", volume_.image, "--json", "-i", "C:\\cases\\memo.txt"}).out;
  // 129514863094182273 is 2011-06-02 11:05:09.4182273 UTC; -i and -u
  // change nothing.
  // jq 1.6 rounds integers past 2^53: Python reads the raw value.
  EXPECT_EQ(Shell("jq -r .times.mtime.utc", out).out, "2011-06-02T11:05:09.4182273Z\n");
  EXPECT_EQ(Shell("python3 -c 'import json,sys; print(json.load(sys.stdin)[\"times\"][\"mtime\"]"
                  "[\"filetime\"])'",
                  out)
                .out,
            "129514863094182273\n");
  EXPECT_EQ(Shell("jq -r '.object_id | .id, .birth_object_id.id, .birth_volume_id'", out).out,
            "101112131415161718191A1B1C1D1E1F\n"
            "303132333435363738393A3B3C3D3E3F\n"
            "202122232425262728292A2B2C2D2E2F\n");
  EXPECT_EQ(RunQst({"-d", volume_.image, "--json", "-u", "C:\\cases\\memo.txt"}).out, out);
}

TEST_F(MachineForms, JsonNamesComeBackByteForByte) {
  Need("jq");
  std::string out = RunQst({"--json", "-r", tree_ + "/sub"}).out;
  // path_hex, where present, holds the exact bytes; otherwise the path is
  // the name itself.
  Shelled names = Shell(
      "python3 -c 'import json,sys,os\n"
      "for l in sys.stdin.buffer:\n"
      "  o = json.loads(l)\n"
      "  p = bytes.fromhex(o[\"path_hex\"]) if \"path_hex\" in o else o[\"path\"].encode()\n"
      "  if os.path.basename(p): sys.stdout.buffer.write(os.path.basename(p) + b\"\\0\")'",
      out);
  EXPECT_EQ(SortedNames(names.out), SortedNames(kAwkwardNames));
  // jq gives control characters back as they were, and hex to xxd.
  EXPECT_EQ(Shell("jq -j 'select(.path | test(\"control\")) | .path'", out).out,
            tree_ + "/sub/control\x01\x1b.txt");
  EXPECT_EQ(Shell("jq -r 'select(.path | test(\"not utf-8\")) | .path_hex' | xxd -r -p", out).out,
            tree_ + "/sub/not utf-8 \xff\xfe.txt");
}

TEST_F(MachineForms, PythonsCsvReadsTheNamesBackExactly) {
  Shelled rows = Shell(
      "python3 -c 'import csv,sys,io,os\n"
      "r = list(csv.reader(io.TextIOWrapper(sys.stdin.buffer, encoding=\"utf-8\", "
      "errors=\"surrogateescape\", newline=\"\")))\n"
      "assert all(len(row) == len(r[0]) for row in r), \"ragged\"\n"
      "for row in r[1:]:\n"
      "  n = os.path.basename(os.fsencode(row[0]))\n"
      "  if n: sys.stdout.buffer.write(n + b\"\\0\")'",
      RunQst({"--csv", "-r", tree_ + "/sub"}).out);
  EXPECT_EQ(rows.status, 0) << rows.out;
  EXPECT_EQ(SortedNames(rows.out), SortedNames(kAwkwardNames));
}

TEST_F(MachineForms, CsvRowsEndInCrlfUnderOneHeader) {
  NeedVolume();
  auto r = RunQst({"-d", volume_.image, "--csv", "-n", "C:\\cases\\a, b.txt", "C:\\none"});
  EXPECT_EQ(r.status, 1);
  std::string header =
      "path,index,folder,size,atime,mtime,ctime,crtime,type,object_id,otime,oseq,omac,"
      "birth_object_id,botime,boseq,bomac,birth_volume_id,fn_atime,fn_mtime,fn_ctime,fn_crtime,"
      "fn_type,alerts,notes,finding,error_code,error_message\r\n";
  ASSERT_EQ(r.out.substr(0, header.size()), header);
  std::string rest = r.out.substr(header.size());
  EXPECT_EQ(rest.substr(0, 20), "\"C:\\cases\\a, b.txt\",");
  // A failed path: its fields empty up to the error's code and message.
  EXPECT_NE(rest.find("\r\nC:\\none" + std::string(26, ',') + "2,"), std::string::npos) << rest;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3);
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\r'), 3);
}

TEST_F(MachineForms, MactimeReadsTheBodyFileWithoutAWord) {
  NeedVolume();
  Need("mactime");
  auto r = RunQst({"-d", volume_.image, "--bodyfile", "-n", "-r", "C:\\"});
  EXPECT_EQ(r.status, 0);
  std::string body = ::testing::TempDir() + "/qst_forms.body";
  std::ofstream(body, std::ios::binary) << r.out;
  Shelled mac = Shell("mactime -b " + body + " -d -y -z UTC");
  EXPECT_EQ(mac.status, 0);
  EXPECT_EQ(mac.out.find("Warning"), std::string::npos) << mac.out;
  EXPECT_EQ(mac.out.find("rror"), std::string::npos) << mac.out;
  // mactime shows each time of each line once, the times of a line that
  // fall in the same second together, and none before 1970.
  Shelled expected = Shell(
      "python3 -c 'import sys,math\n"
      "n = 0\n"
      "for l in sys.stdin:\n"
      "  t = [float(x) for x in l.rstrip(\"\\n\").split(\"|\")[7:11]]\n"
      "  n += len({math.floor(x) for x in t if x >= 0})\n"
      "print(n)'",
      r.out);
  std::size_t lines = std::count(mac.out.begin(), mac.out.end(), '\n');
  EXPECT_EQ(std::to_string(lines - 1) + "\n", expected.out);
  EXPECT_NE(mac.out.find("\"C:\\cases\\memo.txt ($FILE_NAME)\""), std::string::npos);
  // The grain survives in the file itself.
  EXPECT_NE(r.out.find("|C:\\cases\\memo.txt|"), std::string::npos);
  EXPECT_NE(r.out.find("|1307012709.4182273|"), std::string::npos) << r.out;
}

TEST_F(MachineForms, FailedPathsOfABodyFileGoToStandardError) {
  auto r = RunQst({"--bodyfile", tree_ + "/missing", tree_ + "/sub/ok \xc3\xbc.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "qst: " + tree_ + "/missing, CODE=2:No such file or directory\n");
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1);
  EXPECT_NE(r.out.find("|r/rrwxrwxrwx|0|0|1|"), std::string::npos) << r.out;
}

TEST_F(MachineForms, TheFormsExcludeEachOtherAndTheRows) {
  struct Case {
    std::vector<std::string> args;
    std::string line;
  };
  for (const Case& c :
       std::vector<Case>{{{"--json", "-e"}, "qst: can't use --json with -e\n"},
                         {{"-e", "--csv"}, "qst: can't use --csv with -e\n"},
                         {{"--json", "--csv"}, "qst: can't use --json with --csv\n"},
                         {{"--bodyfile", "--js"}, "qst: can't use --bodyfile with --json\n"},
                         {{"--events", "-e"}, "qst: can't use --events with -e\n"},
                         {{"--csv", "--ev"}, "qst: can't use --csv with --events\n"}}) {
    std::vector<std::string> args = c.args;
    args.push_back(tree_);
    auto r = RunQst(args);
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.err, c.line);
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(MachineForms, CsvRowsAreAsWideAsTheHeaderForSqliteAndPython) {
  NeedVolume();
  Need("sqlite3");
  const std::string dir = ::testing::TempDir() + "/qst_csv_" + std::to_string(getpid());
  Shell("rm -rf " + dir + " && mkdir " + dir);
  for (const std::vector<std::string>& options :
       {std::vector<std::string>{}, {"-n", "-a"}, {"-n", "-a", "-U"}}) {
    std::vector<std::string> args = {"-d", volume_.image, "--csv", "-r", "C:\\"};
    args.insert(args.end(), options.begin(), options.end());
    auto r = RunQst(args);
    args[4] = "C:\\none";
    std::string none = RunQst(args).out;
    std::ofstream(dir + "/t.csv", std::ios::binary) << r.out << none.substr(none.find('\n') + 1);
    Shelled widths = Shell(
        "python3 -c 'import csv,sys; print(sorted({len(r) for r in "
        "csv.reader(open(sys.argv[1], newline=\"\"))}))' " +
        dir + "/t.csv");
    EXPECT_EQ(widths.out.find(','), std::string::npos) << "one width: " << widths.out;
    Shelled sql = Shell("rm -f " + dir + "/t.db && sqlite3 " + dir + "/t.db '.import --csv " + dir +
                        "/t.csv t' \"SELECT error_code, error_message FROM t WHERE path = "
                        "'C:\\\\none';\"");
    EXPECT_EQ(sql.out, "2|The system cannot find the file specified.\n") << options.size();
  }
  Shell("rm -rf " + dir);
}

TEST_F(MachineForms, EventsAreFourPerTimeSourceWithTimesketchsFields) {
  NeedVolume();
  for (bool names : {false, true}) {
    std::vector<std::string> args = {"-d", volume_.image, "-a", "-r", "C:\\"};
    if (names) args.push_back("-n");
    args.push_back("--json");
    std::string records = RunQst(args).out;
    args.back() = "--events";
    auto r = RunQst(args);
    EXPECT_EQ(r.status, 0);
    const long files = std::count(records.begin(), records.end(), '\n');
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), files * (names ? 8 : 4));
    // Python's json reads every event; the three fields Timesketch requires
    // are strings, the datetime ISO 8601 in UTC, the FILETIME exact.
    Shelled check = Shell(
        "python3 -c 'import json,re,sys\n"
        "for line in sys.stdin:\n"
        "  e = json.loads(line)\n"
        "  assert all(isinstance(e[k], str) for k in (\"message\", \"datetime\", "
        "\"timestamp_desc\")), e\n"
        "  assert re.fullmatch(r\"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{7}Z\", "
        "e[\"datetime\"]), e\n"
        "  ft = int(e[\"filetime\"]); assert e[\"timestamp\"] == ft // 10 - 11644473600000000, e\n"
        "  assert e[\"source\"] in (\"SI\", \"FN\") and e[\"state\"] in (\"in use\", \"deleted\"), "
        "e\n"
        "  assert e[\"timestamp_desc\"] in (\"Creation Time\", \"Content Modification Time\", "
        "\"Metadata Modification Time\", \"Last Access Time\"), e\n"
        "  assert e[\"data_type\"] == \"fs:stat:ntfs\", e\n"
        "  assert e[\"attribute_type\"] == {\"SI\": 16, \"FN\": 48}[e[\"source\"]], e\n"
        "print(\"ok\")'",
        r.out);
    EXPECT_EQ(check.out, "ok\n");
  }
  // The deleted file's events say so.
  auto r = RunQst({"-d", volume_.image, "-a", "--events", "-r", "C:\\cases"});
  EXPECT_NE(r.out.find("\"message\":\"C:\\\\cases\\\\gone.txt: $SI Creation Time (deleted)\""),
            std::string::npos)
      << r.out;
  // With -K, every event carries the join keys examiners search on, each
  // of the JSON rows' values.
  const std::string keyed = ::testing::TempDir() + "/qst_keyed_" + std::to_string(getpid());
  std::ofstream(keyed) << RunQst({"-d", volume_.image, "-K", "--json", "-r", "C:\\"}).out;
  Shelled joined = Shell(
      "python3 -c 'import json,sys\n"
      "rows = {}\n"
      "for line in open(sys.argv[1]):\n"
      "  j = json.loads(line); rows[j[\"path\"]] = j\n"
      "n = 0\n"
      "for line in sys.stdin:\n"
      "  e = json.loads(line); j = rows[e[\"path\"]]; n += 1\n"
      "  assert all(e[k] == j[k] for k in (\"index\", \"sequence\", \"parent_record\", "
      "\"parent_sequence\")), e\n"
      "  assert e[\"file_reference\"] == j[\"index\"] | j[\"sequence\"] << 48, e\n"
      "print(\"ok\" if n else \"none\")' " +
          keyed,
      RunQst({"-d", volume_.image, "-K", "--events", "-r", "C:\\"}).out);
  EXPECT_EQ(joined.out, "ok\n");
  unlink(keyed.c_str());
}

// The workflows of the README's section, run as they stand on the volume.
TEST_F(MachineForms, TheReadmeWorkflowsRunAsTheyStand) {
  NeedVolume();
  Need("mactime");
  Need("sqlite3");
  std::string readme = ReadFile(QST_SOURCE_DIR "/README.md");
  std::size_t from = readme.find("## Examiner workflows");
  ASSERT_NE(from, std::string::npos);
  std::string section = readme.substr(from, readme.find("\n## ", from + 1) - from);
  std::string script = "set -e\n";
  for (std::size_t pos = 0; (pos = section.find("\n    $ ", pos)) != std::string::npos;) {
    pos += 7;
    script += section.substr(pos, section.find('\n', pos) - pos) + "\n";
  }
  const std::string dir = ::testing::TempDir() + "/qst_workflows_" + std::to_string(getpid());
  Shell("rm -rf " + dir + " && mkdir " + dir + " && ln -s " + volume_.image + " " + dir +
        "/evidence.img");
  std::string bin = QST_BINARY;
  std::ofstream(dir + "/run.sh") << script;
  Shelled run =
      Shell("cd " + dir + " && PATH=" + bin.substr(0, bin.rfind('/')) + ":$PATH bash run.sh");
  EXPECT_EQ(run.status, 0) << script << run.out;
  // mactime's timeline marks the deleted file.
  EXPECT_NE(ReadFile(dir + "/timeline.csv").find("C:\\cases\\gone.txt (deleted)"),
            std::string::npos);
  std::string events = ReadFile(dir + "/timeline.jsonl");
  EXPECT_NE(events.find("\"timestamp_desc\":\"Creation Time\""), std::string::npos);
  EXPECT_NE(events.find(": $FN Creation Time"), std::string::npos);
  // The query lists the files whose row carries a sign or a note, and only
  // those.
  Shelled flagged = Shell(
      "python3 -c 'import csv,sys; print(sum(1 for r in "
      "csv.DictReader(open(sys.argv[1], newline=\"\")) if r[\"alerts\"] or r[\"notes\"]))' " +
      dir + "/files.csv");
  // (after the lines that say when the volume was made)
  const std::string rows = run.out.substr(run.out.rfind("was made") + 1);
  EXPECT_EQ(std::to_string(std::count(rows.begin(), rows.end(), '\n') - 1) + "\n", flagged.out)
      << run.out;
  EXPECT_NE(run.out.find("C:\\cases\\a, b.txt||copied"), std::string::npos) << run.out;
  Shell("rm -rf " + dir);
}

}  // namespace
}  // namespace qst
