#include "cli/getopt.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_env.h"

namespace qst {
namespace {

struct Scan {
  std::vector<int> results;
  std::vector<std::string> argv;
  int optind = 0;
  int optopt = 0;
  std::string diagnostics;
};

Scan RunScan(std::vector<std::string> args, bool posixly_correct = false) {
  if (posixly_correct)
    testing::SetEnv("POSIXLY_CORRECT", "1");
  else
    testing::UnsetEnv("POSIXLY_CORRECT");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  OptionScanState state;
  Output err;
  Scan scan;
  int argc = static_cast<int>(args.size());
  for (int guard = 0; guard < 100; ++guard) {
    int c = getopt(argc, argv.data(), "ehliru", state, err);
    scan.results.push_back(c);
    if (c == -1) break;
  }
  for (int i = 0; i < argc; ++i) scan.argv.push_back(argv[i]);
  scan.optind = state.optind;
  scan.optopt = state.optopt;
  scan.diagnostics = err.Text();
  testing::UnsetEnv("POSIXLY_CORRECT");
  return scan;
}

using Args = std::vector<std::string>;
using Results = std::vector<int>;

TEST(OptionScanner, MovesOperandsBehindOptions) {
  Scan s = RunScan({"qst", "file1", "-e", "file2", "-u"});
  EXPECT_EQ(s.results, (Results{'e', 'u', -1}));
  EXPECT_EQ(s.argv, (Args{"qst", "-e", "-u", "file1", "file2"}));
  EXPECT_EQ(s.optind, 3);

  s = RunScan({"qst", "a", "b", "-e", "c", "-r", "d"});
  EXPECT_EQ(s.results, (Results{'e', 'r', -1}));
  EXPECT_EQ(s.argv, (Args{"qst", "-e", "-r", "a", "b", "c", "d"}));
  EXPECT_EQ(s.optind, 3);
}

TEST(OptionScanner, ReadsClustersLetterByLetter) {
  Args args = {"qst", "-eu", "x"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  OptionScanState state;
  Output err;
  EXPECT_EQ(getopt(3, argv.data(), "ehliru", state, err), 'e');
  EXPECT_EQ(state.optind, 1);
  EXPECT_EQ(getopt(3, argv.data(), "ehliru", state, err), 'u');
  EXPECT_EQ(state.optind, 2);
  EXPECT_EQ(getopt(3, argv.data(), "ehliru", state, err), -1);
  EXPECT_EQ(state.optind, 2);
}

TEST(OptionScanner, LoneDashIsAnOperand) {
  Scan s = RunScan({"qst", "-", "-eu", "x"});
  EXPECT_EQ(s.results, (Results{'e', 'u', -1}));
  EXPECT_EQ(s.argv, (Args{"qst", "-eu", "-", "x"}));
  EXPECT_EQ(s.optind, 2);
}

TEST(OptionScanner, DoubleDashEndsOptions) {
  Scan s = RunScan({"qst", "a", "-e", "--", "-b"});
  EXPECT_EQ(s.results, (Results{'e', -1}));
  EXPECT_EQ(s.argv, (Args{"qst", "-e", "--", "a", "-b"}));
  EXPECT_EQ(s.optind, 3);
  EXPECT_EQ(s.diagnostics, "");

  s = RunScan({"qst", "a", "--"});
  EXPECT_EQ(s.results, (Results{-1}));
  EXPECT_EQ(s.argv, (Args{"qst", "--", "a"}));
  EXPECT_EQ(s.optind, 2);
}

TEST(OptionScanner, NoOperandLeavesOptindAtTheCount) {
  Scan s = RunScan({"qst", "--"});
  EXPECT_EQ(s.results, (Results{-1}));
  EXPECT_EQ(s.optind, 2);
  s = RunScan({"qst"});
  EXPECT_EQ(s.results, (Results{-1}));
  EXPECT_EQ(s.optind, 1);
  s = RunScan({"qst", "-e", "-u"});
  EXPECT_EQ(s.results, (Results{'e', 'u', -1}));
  EXPECT_EQ(s.optind, 3);
}

TEST(OptionScanner, InvalidLetterIsDiagnosedAndScanGoesOn) {
  Scan s = RunScan({"qst", "-ex", "f"});
  EXPECT_EQ(s.results, (Results{'e', '?', -1}));
  EXPECT_EQ(s.diagnostics, "qst: invalid option -- 'x'\n");
  EXPECT_EQ(s.optopt, 'x');
  EXPECT_EQ(s.optind, 2);

  for (const char* bad : {"-?", "-E", "-:", "-;", "-W"}) {
    s = RunScan({"./qst", bad});
    EXPECT_EQ(s.results.front(), '?') << bad;
    EXPECT_EQ(s.diagnostics, std::string("./qst: invalid option -- '") + bad[1] + "'\n");
  }
}

TEST(OptionScanner, PosixlyCorrectStopsAtFirstOperand) {
  Scan s = RunScan({"qst", "file1", "-e", "file2", "-u"}, true);
  EXPECT_EQ(s.results, (Results{-1}));
  EXPECT_EQ(s.argv, (Args{"qst", "file1", "-e", "file2", "-u"}));
  EXPECT_EQ(s.optind, 1);

  s = RunScan({"qst", "-e", "file1", "-u"}, true);
  EXPECT_EQ(s.results, (Results{'e', -1}));
  EXPECT_EQ(s.optind, 2);
}

TEST(OptionScanner, EmptyElementIsAnOperand) {
  Scan s = RunScan({"qst", "", "-i"});
  EXPECT_EQ(s.results, (Results{'i', -1}));
  EXPECT_EQ(s.argv, (Args{"qst", "-i", ""}));
  EXPECT_EQ(s.optind, 2);
}

TEST(OptionScanner, LongerOperandBlocksKeepTheirOrder) {
  Scan s = RunScan({"qst", "a", "b", "c", "-e", "-u", "d", "-il", "e"});
  EXPECT_EQ(s.results, (Results{'e', 'u', 'i', 'l', -1}));
  EXPECT_EQ(s.argv, (Args{"qst", "-e", "-u", "-il", "a", "b", "c", "d", "e"}));
  EXPECT_EQ(s.optind, 4);
}

struct ArgScan {
  std::vector<std::string> letters;  // letter, then its argument
  std::vector<std::string> argv;
  int optind = 0;
  std::string diagnostics;
};

ArgScan RunArgScan(std::vector<std::string> args) {
  testing::UnsetEnv("POSIXLY_CORRECT");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  OptionScanState state;
  Output err;
  ArgScan scan;
  int argc = static_cast<int>(args.size());
  for (int c; (c = getopt(argc, argv.data(), "d:ehlio:ru", state, err)) != -1;) {
    scan.letters.push_back(std::string(1, static_cast<char>(c)));
    if (state.optarg != nullptr) scan.letters.push_back(state.optarg);
  }
  for (int i = 0; i < argc; ++i) scan.argv.push_back(argv[i]);
  scan.optind = state.optind;
  scan.diagnostics = err.Text();
  return scan;
}

TEST(OptionScanner, ArgumentsAttachedOrInTheNextElement) {
  ArgScan s = RunArgScan({"qst", "C:\\a", "-d", "disk.img", "-eo2048", "C:\\b"});
  EXPECT_EQ(s.letters, (Args{"d", "disk.img", "e", "o", "2048"}));
  EXPECT_EQ(s.argv, (Args{"qst", "-d", "disk.img", "-eo2048", "C:\\a", "C:\\b"}));
  EXPECT_EQ(s.optind, 4);

  // An argument that looks like an option or like "--" is still the argument.
  s = RunArgScan({"qst", "-d", "-e", "-o", "--", "x"});
  EXPECT_EQ(s.letters, (Args{"d", "-e", "o", "--"}));
  EXPECT_EQ(s.optind, 5);
}

TEST(OptionScanner, MissingArgumentIsDiagnosed) {
  ArgScan s = RunArgScan({"qst", "x", "-e", "-d"});
  EXPECT_EQ(s.letters, (Args{"e", "?"}));
  EXPECT_EQ(s.diagnostics, "qst: option requires an argument -- 'd'\n");
}

TEST(OptionScanner, LongOptionsByNameByStartAndWithArguments) {
  constexpr LongOption kLong[] = {{"json", false, 300},
                                  {"jobs", true, 'j'},
                                  {"image", true, 'd'},
                                  {"images", false, 301},
                                  {nullptr, false, 0}};
  struct Case {
    Args args;
    Results results;
    std::string optarg;  // of the last option
    std::string diagnostics;
  };
  const Case cases[] = {
      {{"qst", "--json", "a"}, {300, -1}, "", ""},
      {{"qst", "a", "--js", "-e"}, {300, 'e', -1}, "", ""},
      {{"qst", "--jobs=4", "a"}, {'j', -1}, "4", ""},
      {{"qst", "--jo", "4", "a"}, {'j', -1}, "4", ""},
      {{"qst", "--image=", "a"}, {'d', -1}, "", ""},
      // An exact name wins over the longer one it starts.
      {{"qst", "--image", "x"}, {'d', -1}, "x", ""},
      {{"qst", "--j", "a"}, {'?', -1}, "", "qst: option '--j' is ambiguous\n"},
      {{"qst", "--jsonx"}, {'?', -1}, "", "qst: unrecognized option '--jsonx'\n"},
      {{"qst", "--json=1"}, {'?', -1}, "", "qst: option '--json' doesn't allow an argument\n"},
      {{"qst", "--jobs"}, {'?', -1}, "", "qst: option '--jobs' requires an argument\n"},
      {{"qst", "--", "--json"}, {-1}, "", ""},
  };
  for (const Case& c : cases) {
    Args args = c.args;
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    OptionScanState state;
    Output err;
    Results results;
    std::string optarg;
    for (int guard = 0; guard < 10; ++guard) {
      int r = getopt_long(static_cast<int>(args.size()), argv.data(), "ed:j:", kLong, state, err);
      results.push_back(r);
      if (r == -1) break;
      optarg = state.optarg != nullptr ? state.optarg : "";
    }
    EXPECT_EQ(results, c.results) << c.args[1];
    EXPECT_EQ(optarg, c.optarg) << c.args[1];
    EXPECT_EQ(err.Text(), c.diagnostics) << c.args[1];
  }
}

}  // namespace
}  // namespace qst
