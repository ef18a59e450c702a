// Operand handling through the entry, over a fake platform whose directory
// order and errors are set by each test.
#include "cli/targets.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/entry.h"
#include "fake_platform.h"
#include "probe/wildcard.h"

namespace qst {
namespace {

using Paths = std::vector<std::string>;

class Targets : public ::testing::Test {
 protected:
  int Run(std::vector<std::string> args) {
    args.insert(args.begin(), "qst");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    Context context(&platform_, out_, err_);
    return RunEntry(static_cast<int>(args.size()), argv.data(), context);
  }
  // The output less the lines of the records themselves.
  std::string Messages() const {
    std::string result;
    const std::string& text = out_.Text();
    for (std::size_t pos = 0, end; pos < text.size(); pos = end + 1) {
      end = text.find('\n', pos);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(pos, end - pos);
      bool record_line = line.size() > 7 && line[6] == ':' && line[7] == ' ';
      if (!line.empty() && !record_line) result += line + "\n";
    }
    return result;
  }

  testing::FakePlatform platform_;
  Output out_;
  Output err_;
};

TEST_F(Targets, PlainOperandsAreProbedAsGivenAndWildcardsExpanded) {
  platform_.AddSearch(
      "*.log", {{"x.log", false}, {".", true}, {"..", true}, {"logs", true}, {"y.log", false}});
  EXPECT_EQ(Run({"a.txt", "*.log", "b.txt"}), 0);
  EXPECT_EQ(platform_.probed(), (Paths{"a.txt", "x.log", "logs/", "y.log", "b.txt"}));
}

TEST_F(Targets, PlainFolderOperandIsOneRecordWithoutWalk) {
  platform_.AddSearch("dir/*", {{"f", false}});
  EXPECT_EQ(Run({"dir"}), 0);
  EXPECT_EQ(platform_.probed(), (Paths{"dir"}));
}

TEST_F(Targets, WildcardKeepsTheDirectoryPart) {
  platform_.AddSearch("/dir/*", {{".", true}, {"..", true}, {"sub", true}, {"f", false}});
  platform_.AddSearch("/*.txt", {{"n.txt", false}});
  Run({"/dir/*", "/*.txt"});
  EXPECT_EQ(platform_.probed(), (Paths{"/dir/sub/", "/dir/f", "/n.txt"}));
}

TEST_F(Targets, WildcardWithoutMatchIsOneErrorLine) {
  EXPECT_EQ(Run({"*.none", "next"}), 1);
  EXPECT_EQ(out_.Text().rfind("\n*.none, CODE=2:error 2\n\n", 0), 0u);
  EXPECT_EQ(platform_.probed(), (Paths{"next"}));
}

class WalkedTree : public Targets {
 protected:
  void SetUp() override {
    platform_.AddSearch("top", {{"top", true}});
    platform_.AddSearch(
        "top/*", {{".", true}, {"a.txt", false}, {"..", true}, {"sub", true}, {"z.txt", false}});
    platform_.AddSearch("top/sub/*", {{".", true}, {"..", true}, {"b.txt", false}});
  }
  const Paths kOrder = {"top/", "top/a.txt", "top/sub/", "top/sub/b.txt", "top/z.txt"};
};

TEST_F(WalkedTree, RecursionIsDepthFirstFoldersBeforeContents) {
  EXPECT_EQ(Run({"-r", "top"}), 0);
  EXPECT_EQ(platform_.probed(), kOrder);
}

TEST_F(WalkedTree, TrailingSeparatorMakesNoDifference) {
  Run({"-r", "top/"});
  EXPECT_EQ(platform_.probed(), kOrder);
}

TEST_F(WalkedTree, FinalWildcardWalksTheFolder) {
  // The first match is a folder: the folder is reported, then walked.
  Run({"-r", "top/*"});
  EXPECT_EQ(platform_.probed(), kOrder);
}

TEST_F(WalkedTree, FinalWildcardWithFileFirstOnlyWalks) {
  platform_.AddSearch("top/*", {{"a.txt", false}, {"sub", true}});
  Run({"-r", "top/*"});
  EXPECT_EQ(platform_.probed(), (Paths{"top/a.txt", "top/sub/", "top/sub/b.txt"}));
}

TEST_F(WalkedTree, PartialNameWildcardJoinsEntriesToTheFolder) {
  platform_.AddSearch("top/s*", {{"sub", true}, {"sz.txt", false}});
  Run({"-r", "top/s*"});
  EXPECT_EQ(platform_.probed(), (Paths{"top/sub/", "top/sub/b.txt", "top/sz.txt"}));
}

TEST_F(WalkedTree, UnsearchableFolderIsReportedAndWalkGoesOn) {
  platform_.FailSearch("top/sub/*", 13);
  Run({"-r", "top"});
  EXPECT_EQ(platform_.probed(), (Paths{"top/", "top/a.txt", "top/sub/", "top/z.txt"}));
  EXPECT_NE(out_.Text().find("\ntop/sub/*, CODE=13:error 13\n\n"), std::string::npos);
}

TEST_F(WalkedTree, MissingOperandIsReportedWithoutItsSeparator) {
  EXPECT_EQ(Run({"-r", "gone/", "top"}), 1);
  EXPECT_EQ(out_.Text().rfind("\ngone, CODE=2:error 2\n\n", 0), 0u);
  EXPECT_EQ(platform_.probed(), kOrder);
}

TEST_F(WalkedTree, ComplexWildcardEndsTheRunAsAFailure) {
  EXPECT_EQ(Run({"-r", "top", "t*p/x", "top"}), kStatusBadUsage);
  EXPECT_EQ(platform_.probed(), kOrder);
  EXPECT_EQ(Messages(), "Can't use complex wildcard when -r option specified.\n");
}

TEST_F(WalkedTree, ShortPathsPassTheWildcardTest) {
  platform_.AddSearch("*", {{"top", true}});
  platform_.AddSearch("top/*", {{"a.txt", false}});
  EXPECT_EQ(Run({"-r", "*"}), 0);
  EXPECT_EQ(platform_.probed(), (Paths{"top/", "top/a.txt"}));
}

TEST_F(WalkedTree, VolumeRootIsReportedAndWalked) {
  platform_.AddSearch("/*", {{"etc", true}, {"f", false}});
  platform_.AddSearch("/etc/*", {{"passwd", false}});
  EXPECT_EQ(Run({"-r", "/"}), 0);
  EXPECT_EQ(platform_.probed(), (Paths{"/", "/etc/", "/etc/passwd", "/f"}));
}

TEST_F(WalkedTree, FileOperandIsReportedItself) {
  platform_.AddSearch("top/a.txt", {{"a.txt", false}});
  Run({"-r", "top/a.txt"});
  EXPECT_EQ(platform_.probed(), (Paths{"top/a.txt"}));
}

TEST_F(WalkedTree, FolderReachedAgainThroughALinkIsNotEnteredAgain) {
  RawFileInfo top, sub;
  top.volume = sub.volume = 7;
  top.file_id = 100;
  sub.file_id = 200;
  platform_.AddFile("top/", top);
  platform_.AddFile("top/sub/", sub);
  platform_.AddFile("top/sub/up/", top);  // a link back to top
  platform_.AddSearch("top/sub/*", {{"b.txt", false}, {"up", true}});
  platform_.AddSearch("top/sub/up/*", {{"a.txt", false}, {"sub", true}});
  Run({"-r", "top"});
  EXPECT_EQ(platform_.probed(),
            (Paths{"top/", "top/a.txt", "top/sub/", "top/sub/b.txt", "top/sub/up/", "top/z.txt"}));
}

TEST_F(WalkedTree, AFolderWithManyNamesIsEnteredOnce) {
  // A chain of folders each reachable by two names (a damaged or crafted
  // volume): walked naively, each level doubles the paths.
  constexpr int kDepth = 20;
  std::string level = "top/";
  for (int i = 0; i < kDepth; ++i) {
    platform_.AddSearch(level + "*", {{"x", true}, {"y", true}});
    RawFileInfo folder;
    folder.volume = 7;
    folder.file_id = 1000 + i;
    platform_.AddFile(level + "x/", folder);
    platform_.AddFile(level + "y/", folder);
    level += "x/";
  }
  Run({"-r", "top"});
  EXPECT_EQ(platform_.probed().size(), 1u + 2 * kDepth);
  EXPECT_EQ(platform_.probed().back(), "top/y/");
}

TEST_F(WalkedTree, OverlongEntryIsSkippedWithAMessage) {
  std::string deep(kMaxPath - 4, 'd');  // "top/" + name fills the buffer exactly
  platform_.AddSearch("top/*", {{deep, false}, {deep, true}, {"z.txt", false}});
  Run({"-r", "top"});
  EXPECT_EQ(platform_.probed(), (Paths{"top/", "top/" + deep, "top/z.txt"}));
  EXPECT_EQ(Messages(), "Skip one because long filename is exist.\n");
}

TEST_F(Targets, ListLinesAreHandedOverAsWritten) {
  platform_.AddList("list.txt", "one\r\ntrail \ntab\tx\r\n\nC:\\*.txt\nlone\rcr\nlast");
  EXPECT_EQ(Run({"-l", "list.txt"}), 0);
  EXPECT_EQ(platform_.probed(),
            (Paths{"one", "trail ", "tab\tx", "", "C:\\*.txt", "lone\rcr", "last"}));
}

TEST_F(Targets, ListLineStartingWithNullIsPassedOver) {
  platform_.AddList("list.txt", std::string("a\n\0skipped\nb\0cut\n", 18));
  Run({"-l", "list.txt"});
  EXPECT_EQ(platform_.probed(), (Paths{"a", "b"}));
}

TEST_F(Targets, OverlongListLineIsReportedOnceWhole) {
  std::string longest(kMaxPath, 'x');
  std::string too_long(10000, 'y');
  platform_.AddList("list.txt", longest + "\n" + too_long + "\r\nafter\n");
  Run({"-l", "list.txt"});
  EXPECT_EQ(platform_.probed(), (Paths{longest, "after"}));
  const std::string code = std::to_string(ENAMETOOLONG);
  std::string expected = "\n" + too_long + ", CODE=" + code + ":error " + code + "\n\n";
  EXPECT_NE(out_.Text().find(expected), std::string::npos);
  EXPECT_EQ(out_.Text().find(", CODE="), out_.Text().find(expected) + 10001);
}

TEST_F(Targets, MissingListFileEndsTheRunAfterEarlierLists) {
  platform_.AddList("first.txt", "a\nb\n");
  platform_.AddList("third.txt", "c\n");
  EXPECT_EQ(Run({"-e", "-l", "first.txt", "second.txt", "third.txt"}), kStatusBadUsage);
  EXPECT_EQ(platform_.probed(), (Paths{"a", "b"}));
  const std::string& text = out_.Text();
  std::size_t error = text.find("\nsecond.txt, CODE=2:error 2\n\n-- Quillstamp(qst) v1.4 -- \n");
  EXPECT_NE(error, std::string::npos);
  EXPECT_EQ(text.rfind("FILENAME | ID |", 0), 0u);
}

TEST_F(Targets, OverlongOperandIsRefused) {
  std::string operand(kMaxPath + 1, 'p');
  Run({operand, operand + "*"});
  EXPECT_TRUE(platform_.probed().empty());
  const std::string error =
      ", CODE=" + std::to_string(ENAMETOOLONG) + ":error " + std::to_string(ENAMETOOLONG) + "\n\n";
  EXPECT_EQ(out_.Text(), "\n" + operand + error + "\n" + operand + "*" + error);
}

TEST(WildcardMatch, AStarInThePatternIsAlwaysAWildcard) {
  const struct {
    std::string_view pattern, name;
    bool match;
  } cases[] = {{"*a", "*ba", true}, {"a*c", "abbc", true}, {"*.txt", "x.txt", true},
               {"?", "", false},    {"a?", "ab", true},    {"*b", "ba", false}};
  auto same = [](char a, char b) { return a == b; };
  for (const auto& c : cases)
    EXPECT_EQ(MatchWildcard(c.pattern, c.name, same), c.match) << c.pattern << " " << c.name;
  // However a volume's table compares the characters.
  auto all_same = [](char, char) { return true; };
  EXPECT_TRUE(MatchWildcard(std::string_view("*"), std::string_view("abc"), all_same));
}

}  // namespace
}  // namespace qst
