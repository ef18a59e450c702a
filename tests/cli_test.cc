// The command-line rules, seen from the shell: statuses, streams and texts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "run_binary.h"

namespace qst {
namespace {

using testing::ReadFile;
using testing::RunQst;

const std::string kUsage = ReadFile(QST_EXPECTED_DIR "/usage.txt");

TEST(CommandLine, HelpPrintsUsageWithStatus255) {
  for (auto args : {std::vector<std::string>{"-h"}, {"-h", "a", "b"}, {"-hx"}, {"a", "-eh"}}) {
    auto r = RunQst(args);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, kUsage);
    EXPECT_EQ(r.err, "");
  }
}

TEST(CommandLine, NoOperandPrintsUsageWithStatus254) {
  for (auto args : {std::vector<std::string>{}, {"-e"}, {"-l", "-r"}, {"--"}}) {
    auto r = RunQst(args);
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.out, kUsage) << "no header row before the operand check";
    EXPECT_EQ(r.err, "");
  }
  // With this program's own options the output may be a form written to a
  // file: the usage error goes to standard error alone.
  for (auto args : {std::vector<std::string>{"-d", "disk.img", "--json"},
                    {"-n", "-e"},
                    {"--csv"},
                    {"-j", "4"}}) {
    auto r = RunQst(args);
    EXPECT_EQ(r.status, 254) << args[0];
    EXPECT_EQ(r.out, "") << args[0];
    EXPECT_EQ(r.err, "qst: no FILENAME given\nTry '" + std::string(QST_BINARY) +
                         " --help' for more information.\n")
        << args[0];
  }
}

TEST(CommandLine, InvalidOptionDiagnosesOnStandardError) {
  auto r = RunQst({"-y", "-h", "a"});
  EXPECT_EQ(r.status, 254);
  std::string diagnostic = std::string(QST_BINARY) + ": invalid option -- 'y'\n";
  EXPECT_EQ(r.err, diagnostic);
  EXPECT_EQ(r.out, kUsage);
  EXPECT_EQ(r.both, diagnostic + kUsage);
}

TEST(CommandLine, LongOptionsAsGnuHasThem) {
  // --help: this build's help, naming it as invoked, every option with its
  // long name; -h keeps the original usage text.
  auto r = RunQst({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(
      r.out.rfind("Usage: " + std::string(QST_BINARY) + " [OPTION]... [-l|-r] FILENAME...\n", 0),
      0u);
  for (const char* option : {"-l, --list",
                             "-r, --recursive",
                             "-x, --one-file-system",
                             "-e, --rows",
                             "-i, --iso",
                             "-u, --utc",
                             "--json",
                             "--csv",
                             "--bodyfile",
                             "--events",
                             "-d, --image=IMAGE",
                             "-o, --offset=SECTOR",
                             "-n, --name-times",
                             "-a, --all",
                             "-U, --usn",
                             "--usn-journal=FILE",
                             "--journal-only",
                             "-S, --snapshots",
                             "-j, --jobs=N",
                             "--version",
                             "history"})
    EXPECT_NE(r.out.find(option), std::string::npos) << option;
  EXPECT_EQ(RunQst({"-h"}).out, kUsage);
  r = RunQst({"--nonsense", "--hel", "a"});
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.err, std::string(QST_BINARY) + ": unrecognized option '--nonsense'\n");
  EXPECT_EQ(r.out, kUsage);
  r = RunQst({"--version", "a"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(0, 4), "qst ");
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2) << r.out;
  // Long names for letters, with their arguments either way.
  EXPECT_EQ(RunQst({"--rec", "--utc", "--iso", "--jobs=2", ".", "--rows"}).out,
            RunQst({"-r", "-u", "-i", "-j", "2", ".", "-e"}).out);
}

TEST(CommandLine, ListAndRecursiveConflict) {
  auto r = RunQst({"-l", "-r", "a"});
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.out, "Can't specify -l and -r simultaneously.\n");
  EXPECT_EQ(r.err, "");
}

TEST(CommandLine, HeaderRowOnceEvenWhenEveryOperandFails) {
  auto r = RunQst({"-e", "-e", "/nonexistent/a", "-u", "/nonexistent/b"});
  EXPECT_EQ(r.status, 1) << "nothing could be reported";
  EXPECT_EQ(r.out, std::string(testing::kHeaderRow) +
                       "\n/nonexistent/a, CODE=2:No such file or directory\n\n"
                       "\n/nonexistent/b, CODE=2:No such file or directory\n\n");
}

TEST(CommandLine, OptionsAfterOperandsTakeEffect) {
  auto r = RunQst({"/nonexistent", "-e"});
  EXPECT_EQ(r.out.rfind(testing::kHeaderRow, 0), 0u);
  // With POSIXLY_CORRECT the first operand ends the options.
  r = RunQst({"/nonexistent", "-e"}, "POSIXLY_CORRECT=1");
  EXPECT_EQ(r.out,
            "\n/nonexistent, CODE=2:No such file or directory\n\n"
            "\n-e, CODE=2:No such file or directory\n\n");
  r = RunQst({"--", "-h"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "\n-h, CODE=2:No such file or directory\n\n");
}

TEST(CommandLine, OptionsThatCannotMeanAnythingAreUsageErrors) {
  const struct {
    std::vector<std::string> args;
    const char* err;
  } cases[] = {
      {{"--report=", "a"}, "qst: --report= wants the name of the page to write (FILE.html)\n"},
      {{"-d", "x.img", "-x", "-r", "C:\\"}, "qst: can't use -x with -d\n"},
  };
  for (const auto& c : cases) {
    auto r = RunQst(c.args);
    EXPECT_EQ(r.status, 254) << c.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
}

TEST(CommandLine, ImageOptionsNeedTheirArguments) {
  auto r = RunQst({"a", "-o"});
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.err, std::string(QST_BINARY) + ": option requires an argument -- 'o'\n");
  EXPECT_EQ(r.out, kUsage);
  r = RunQst({"-o", "63", "a"});
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.err, "qst: can't use -o without -d\n");
  r = RunQst({"-d", "x.img", "-o", "1k", "a"});
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.err, "qst: -o wants a sector number, not '1k'\n");
  // The second witness reads disk images only; its letters cluster and
  // follow operands like the others.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-n", "a"}, {"a", "-eun"}, {"-na", "a"}}) {
    r = RunQst(args);
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.err, "qst: can't use -n without -d\n");
    EXPECT_EQ(r.out, "");
  }
  r = RunQst({"a", "-ea"});
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.err, "qst: can't use -a without -d\n");
  r = RunQst({"--snapshots", "a"});
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.err, "qst: can't use -S without -d\n");
  // The copies' journals are listed beside the volume's: no usage error.
  r = RunQst({"-d", "x.img", "-SU", "--journal-only"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("qst: cannot open image x.img: ", 0), 0u) << r.err;
  r = RunQst({"--index-entries", "a"});
  EXPECT_EQ(r.err, "qst: can't use -I without -d\n");
  r = RunQst({"-d", "x.img", "-IU", "--journal-only"});
  EXPECT_EQ(r.err, "qst: can't use -I with --journal-only\n");
  // The log: its listing's rules, and a log collected apart named.
  const struct {
    std::vector<std::string> args;
    const char* err;
  } log_cases[] = {
      {{"-L", "a"}, "qst: can't use -L without -d\n"},
      {{"--logfile=log.bin", "a"}, "qst: can't use -L without -d\n"},
      {{"-d", "x.img", "--logfile="},
       "qst: --logfile= wants the name of a $LogFile collected apart\n"},
      {{"-d", "x.img", "--logfile-only"}, "qst: can't use --logfile-only without -L\n"},
      {{"-d", "x.img", "-L", "--logfile-only", "a"},
       "qst: can't use --logfile-only with a FILENAME\n"},
      {{"-d", "x.img", "-LU", "--logfile-only", "--journal-only"},
       "qst: can't use --logfile-only with --journal-only\n"},
      {{"-d", "x.img", "-LI", "--logfile-only"}, "qst: can't use -I with --logfile-only\n"},
      {{"-d", "x.img", "-LU", "--journal-only"}, "qst: can't use -L with --journal-only\n"},
      {{"-d", "x.img", "-L", "--logfile-only", "--report=r.html"},
       "qst: can't use --report with --logfile-only\n"},
  };
  for (const auto& c : log_cases) {
    r = RunQst(c.args);
    EXPECT_EQ(r.status, 254) << c.args.back();
    EXPECT_EQ(r.err, c.err) << c.args.back();
  }
  for (const char* jobs : {"0", "65", "x", "-1", ""}) {
    r = RunQst({"-j", jobs, "a"});
    EXPECT_EQ(r.status, 254) << jobs;
    EXPECT_EQ(r.err,
              std::string("qst: -j wants a number of threads from 1 to 64, not '") + jobs + "'\n");
  }
}

TEST(CommandLine, ComplexWildcardWithRecursionFails) {
  auto r = RunQst({"-r", "/tmp/*/x", "/"});
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.out, "Can't use complex wildcard when -r option specified.\n");
}

TEST(CommandLine, MissingListFileEndsWithUsage) {
  auto r = RunQst({"-l", "/nonexistent/list.txt"});
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.out, "\n/nonexistent/list.txt, CODE=2:No such file or directory\n\n" + kUsage);
  // A folder is no list: refused, not read as an empty one.
  r = RunQst({"-l", "/"});
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.out, "\n/, CODE=21:Is a directory\n\n" + kUsage);
}

TEST(CommandLine, FailedOutputIsNoSuccess) {
  std::string base = ::testing::TempDir() + "/qst_full_" + std::to_string(getpid());
  std::string command = std::string("'") + QST_BINARY + "' -r '" + QST_EXPECTED_DIR +
                        "' >/dev/full 2>" + base + ".err; echo $? >" + base + ".status";
  std::system(command.c_str());
  EXPECT_EQ(ReadFile(base + ".status"), "1\n");
  EXPECT_EQ(ReadFile(base + ".err"),
            "qst: error writing standard output: No space left on device\n");
}

TEST(CommandLine, ClosedPipeEndsQuietly) {
  std::string err = ::testing::TempDir() + "/qst_pipe_" + std::to_string(getpid()) + ".err";
  std::string command =
      std::string("'") + QST_BINARY + "' -r /usr/share 2>" + err + " | head -c 10";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char buffer[64] = {};
  std::size_t n = fread(buffer, 1, sizeof buffer - 1, pipe);
  pclose(pipe);
  EXPECT_EQ(std::string(buffer, n), "\n  path: /");
  EXPECT_EQ(ReadFile(err), "");
}

}  // namespace
}  // namespace qst
