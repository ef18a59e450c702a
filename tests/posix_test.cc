// qst on the machine's own file system: exact conversion of statx times,
// links, wildcards, list files, and a walk that leaves access times alone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>

#include "run_binary.h"
#include "test_env.h"

namespace qst {
namespace {

using testing::RunQst;

class LocalTree : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir_template[] = "/tmp/qst_local_XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    root_ = dir_template;
  }
  void TearDown() override { std::system(("rm -rf " + root_).c_str()); }

  std::string At(const std::string& relative) const { return root_ + "/" + relative; }
  void Write(const std::string& relative, const std::string& text) const {
    std::ofstream(At(relative), std::ios::binary) << text;
  }
  // Sets access and write time of the path itself (not a link's target).
  void SetTimes(const std::string& relative, std::int64_t sec, long nsec) const {
    struct timespec times[2] = {{sec, nsec}, {sec, nsec}};
    ASSERT_EQ(utimensat(AT_FDCWD, At(relative).c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  }
  static std::string Line(const std::string& out, const std::string& label) {
    std::size_t pos = out.find(label + ": ");
    return pos == std::string::npos ? "" : out.substr(pos, out.find('\n', pos) - pos);
  }

  std::string root_;
};

TEST_F(LocalTree, ProbesInFlightChangeNothingInTheOutput) {
  for (int d = 0; d < 6; ++d) {
    mkdir(At("d" + std::to_string(d)).c_str(), 0755);
    for (int f = 0; f < 50; ++f) Write("d" + std::to_string(d) + "/f" + std::to_string(f), "");
  }
  symlink("nowhere", At("d0/dangling").c_str());
  mkdir(At("d1/shut").c_str(), 0);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-e", "-r", At("")}, {"-r", At("d1")}, {"-e", At("d2/*")}}) {
    auto one = args, eight = args;
    one.insert(one.begin(), "-j1");
    eight.insert(eight.begin(), {"-j", "8"});
    auto single = RunQst(one);
    EXPECT_GT(single.out.size(), 1000u);
    EXPECT_EQ(RunQst(eight).both, single.both);
  }
}

// A run that takes more than a second, its output (more than the megabyte
// its pipe is widened to) held up by a slow reader, on a pseudo-terminal:
// one progress line, erased at the end; none when standard error is no
// terminal.
TEST_F(LocalTree, ProgressShowsOnATerminalOnlyAndIsErased) {
  if (std::system("command -v script >/dev/null") != 0) QST_SKIP() << "needs script";
  for (int d = 0; d < 20; ++d) {
    mkdir(At("d" + std::to_string(d)).c_str(), 0755);
    for (int f = 0; f < 400; ++f) Write("d" + std::to_string(d) + "/f" + std::to_string(f), "");
  }
  auto on_terminal = [&](const std::string& command) {
    std::string log = At("typescript");
    std::system(
        ("script -qec " + testing::ShellQuote(command) + " " + log + " >/dev/null").c_str());
    std::string text = testing::ReadFile(log);
    unlink(log.c_str());
    return text;
  };
  std::string qst = testing::ShellQuote(QST_BINARY) + " -r " + At("d*");
  std::string slow = " | (sleep 2; cat >/dev/null)";
  std::string shown = on_terminal(qst + slow);
  std::size_t line = shown.find("\rqst: ");
  ASSERT_NE(line, std::string::npos) << shown;
  std::size_t end = shown.find('\r', line + 1);
  std::string status = shown.substr(line + 1, end - line - 1);
  EXPECT_NE(status.find(" files, "), std::string::npos) << status;
  EXPECT_NE(status.find(" files/s"), std::string::npos) << status;
  // Erased: blanks over the last line shown, then back to its start.
  std::size_t last = shown.rfind("\rqst: ");
  std::size_t width = shown.find('\r', last + 1) - last - 1;
  EXPECT_NE(shown.find("\r" + std::string(width, ' ') + "\r"), std::string::npos) << shown;
  EXPECT_EQ(on_terminal(qst + " 2>" + At("err.txt") + slow).find("qst: "), std::string::npos);
  EXPECT_EQ(testing::ReadFile(At("err.txt")), "");
  // Interrupted while the line shows: the line is erased all the same.
  std::string interrupted =
      on_terminal("timeout -s INT 3 " + testing::ShellQuote(QST_BINARY) + " -e -r " + At("d*") +
                  " | (while read -r l; do sleep 0.001; done)");
  last = interrupted.rfind("\rqst: ");
  ASSERT_NE(last, std::string::npos) << interrupted;
  width = interrupted.find('\r', last + 1) - last - 1;
  EXPECT_EQ(interrupted.substr(last + 1 + width, width + 2), "\r" + std::string(width, ' ') + "\r");
}

TEST_F(LocalTree, OneFileSystemReportsAMountPointButDoesNotEnterIt) {
  if (geteuid() != 0) QST_SKIP() << "mounting a tmpfs needs root";
  mkdir(At("m").c_str(), 0755);
  ASSERT_EQ(std::system(("mount -t tmpfs qst " + At("m")).c_str()), 0);
  Write("m/inside", "");
  Write("beside", "");
  auto all = RunQst({"-e", "-r", root_});
  auto one = RunQst({"-e", "-x", "-r", root_});
  auto same = RunQst({"--rows", "--one-file-system", "--recursive", root_});
  std::system(("umount " + At("m")).c_str());
  auto sorted = [](std::vector<std::string> paths) {
    std::sort(paths.begin(), paths.end());
    return paths;
  };
  EXPECT_EQ(sorted(testing::PathColumn(all.out)),
            (std::vector<std::string>{root_ + "/", At("beside"), At("m/"), At("m/inside")}));
  EXPECT_EQ(sorted(testing::PathColumn(one.out)),
            (std::vector<std::string>{root_ + "/", At("beside"), At("m/")}));
  EXPECT_EQ(one.out, same.out);
  EXPECT_EQ(one.status, 0);
  // Only walks cross file systems.
  auto r = RunQst({"-x", root_});
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.err, "qst: can't use -x without -r\n");
  EXPECT_EQ(r.out, "");
}

TEST_F(LocalTree, StatxTimesConvertExactlyToFileTime) {
  Write("f", "x");
  SetTimes("f", 1296374400, 123456789);  // 2011-01-30 08:00:00.123456789
  auto r = RunQst({"-u", At("f")});
  EXPECT_EQ(Line(r.out, " atime"), " atime: 2011/01/30 08:00:00.123456700 (UTC) ");
  EXPECT_EQ(Line(r.out, " mtime"), " mtime: 2011/01/30 08:00:00.123456700 (UTC) ");
}

TEST_F(LocalTree, TimesBefore1970AreKept) {
  Write("old", "x");
  SetTimes("old", -86400 * 365 - 1, 999999999);  // 1968-12-31 23:59:59.999999999
  auto r = RunQst({"-u", "-i", At("old")});
  EXPECT_EQ(Line(r.out, " mtime"), " mtime: 1968-12-31T23:59:59.999999900 (UTC) ");
}

TEST_F(LocalTree, LinksShowTheFilesTimesButTheirOwnForFolders) {
  Write("target", "x");
  SetTimes("target", 1000000000, 0);  // 2001-09-09 01:46:40
  mkdir(At("dir").c_str(), 0755);
  symlink("target", At("to-file").c_str());
  symlink("dir", At("to-dir").c_str());
  symlink("missing", At("dangling").c_str());
  for (const char* link : {"to-file", "to-dir", "dangling"}) SetTimes(link, 1200000000, 500);
  auto r = RunQst({"-u", At("to-file"), At("to-dir"), At("dangling")});
  const std::string target = " mtime: 2001/09/09 01:46:40.000000000 (UTC) ";
  const std::string own = " mtime: 2008/01/10 21:20:00.000000500 (UTC) ";
  EXPECT_EQ(r.out.find(target), r.out.find(" mtime: "));
  std::size_t second = r.out.find(" mtime: ", r.out.find(" mtime: ") + 1);
  EXPECT_EQ(r.out.find(own), second);
  EXPECT_NE(r.out.find(own, second + 1), std::string::npos);
  EXPECT_EQ(r.out.find("CODE="), std::string::npos);
}

TEST_F(LocalTree, RecursionEntersAFolderNamedThroughALinkButNoLinkBelow) {
  mkdir(At("real").c_str(), 0755);
  mkdir(At("elsewhere").c_str(), 0755);
  Write("real/f", "");
  Write("elsewhere/hidden", "");
  symlink("real", At("link").c_str());
  symlink("../elsewhere", At("real/loop").c_str());
  auto r = RunQst({"-e", "-r", At("link")});
  std::string paths;
  for (const std::string& path : testing::PathColumn(r.out)) paths += path + "\n";
  EXPECT_NE(paths.find(At("link/") + "\n"), std::string::npos) << paths;
  EXPECT_NE(paths.find(At("link/f") + "\n"), std::string::npos) << paths;
  EXPECT_NE(paths.find(At("link/loop") + "\n"), std::string::npos) << paths;
  EXPECT_EQ(paths.find("hidden"), std::string::npos) << paths;
}

TEST_F(LocalTree, WildcardMatchesWithinTheLastComponent) {
  Write("a.log", "");
  Write("b.log", "");
  Write("c.txt", "");
  Write(".hidden.log", "");
  mkdir(At("d.log").c_str(), 0755);
  auto r = RunQst({"-e", At("*.log"), At("?.txt"), At("*.none")});
  std::string paths;
  for (const std::string& path : testing::PathColumn(r.out)) paths += path + "\n";
  for (const char* expected : {"a.log", "b.log", ".hidden.log", "d.log/", "c.txt"})
    EXPECT_NE(paths.find(At(expected) + "\n"), std::string::npos) << expected << "\n" << paths;
  EXPECT_EQ(paths.find("/.\n"), std::string::npos);
  EXPECT_NE(r.out.find("\n" + At("*.none") + ", CODE=2:No such file or directory\n\n"),
            std::string::npos);
}

TEST_F(LocalTree, ListFileLinesAreTakenAsWritten) {
  Write("one", "");
  Write("two ", "");
  Write("list.txt", At("one") + "\r\n" + At("two ") + "\n\n" + At("*") + "\n" + At("one"));
  auto r = RunQst({"-e", "-l", At("list.txt")});
  std::string expected_errors = "\n, CODE=2:No such file or directory\n\n\n" + At("*") +
                                ", CODE=2:No such file or directory\n\n";
  EXPECT_NE(r.out.find(expected_errors), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find(At("one") + " |"), r.out.find('\n') + 1);
  EXPECT_NE(r.out.find("\n" + At("two ") + " |"), std::string::npos);
  EXPECT_NE(r.out.rfind("\n" + At("one") + " |"), r.out.find('\n'));
}

TEST_F(LocalTree, ListsWithAByteOrderMarkAreReadInTheirEncoding) {
  Write("caf\xC3\xA9.txt", "");
  const std::string text = At("caf\xC3\xA9.txt") + "\r\n" + At("none") + "\r\n";
  // ASCII and one two-byte sequence: UTF-16 units by hand.
  std::u16string wide;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      wide += static_cast<char16_t>(c);
    } else {
      wide +=
          static_cast<char16_t>((c & 0x1F) << 6 | (static_cast<unsigned char>(text[i + 1]) & 0x3F));
      ++i;
    }
  }
  std::string le = "\xFF\xFE", be = "\xFE\xFF";
  for (char16_t u : wide) {
    le += static_cast<char>(u & 0xFF), le += static_cast<char>(u >> 8);
    be += static_cast<char>(u >> 8), be += static_cast<char>(u & 0xFF);
  }
  Write("plain.txt", text);
  const std::string plain = RunQst({"-e", "-u", "-l", At("plain.txt")}).out;
  for (const auto& [name, bytes] : {std::pair{"utf16le.txt", le}, std::pair{"utf16be.txt", be},
                                    std::pair{"utf8.txt", "\xEF\xBB\xBF" + text}}) {
    Write(name, bytes);
    EXPECT_EQ(RunQst({"-e", "-u", "-l", At(name)}).out, plain) << name;
  }
  EXPECT_NE(plain.find("\n" + At("caf\xC3\xA9.txt") + " |"), std::string::npos) << plain;
}

TEST_F(LocalTree, DeepTreesAreWalkedToTheBottom) {
  // Deeper than the usual limit of 1024 open files per process.
  std::string path = "deep";
  for (int level = 0; level < 1500; ++level) {
    ASSERT_EQ(mkdir(At(path).c_str(), 0755), 0) << level;
    path += "/a";
  }
  Write(path.substr(0, path.size() - 2) + "/bottom", "");
  auto r = RunQst({"-e", "-r", At("deep")}, "ulimit -Sn 1024;");
  EXPECT_EQ(r.out.find("CODE="), std::string::npos);
  EXPECT_NE(r.out.find(At(path.substr(0, path.size() - 2) + "/bottom |")), std::string::npos);
}

TEST_F(LocalTree, AWalkGoesPastPathMaxAsFindDoes) {
  // 60 folders of 100-character names: paths of 6,000 characters, past the
  // system's 4,096, made (and walked) folder by folder.
  const std::string name(100, 'n');
  int fd = open(root_.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  std::string path = root_;
  for (int level = 0; level < 60; ++level) {
    ASSERT_EQ(mkdirat(fd, name.c_str(), 0755), 0) << level;
    const int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = next;
    ASSERT_GE(fd, 0) << level;
    path += "/" + name;
  }
  const int bottom = openat(fd, "bottom", O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(bottom, 0);
  close(bottom);
  close(fd);
  auto r = RunQst({"-e", "-r", root_});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("CODE="), std::string::npos) << r.out.substr(0, 400);
  EXPECT_NE(r.out.find("\n" + path + "/bottom |"), std::string::npos);
  // As many rows as find lists paths.
  const std::size_t rows = static_cast<std::size_t>(std::count(r.out.begin(), r.out.end(), '\n'));
  EXPECT_EQ(rows, 1u + 1u + 60u + 1u);  // header, the root, the folders, the file
}

TEST_F(LocalTree, WalkLeavesAccessTimesAlone) {
  mkdir(At("top").c_str(), 0755);
  mkdir(At("top/sub").c_str(), 0755);
  Write("top/sub/f", "content");
  // An access time older than the write time is what relatime refreshes.
  for (const char* p : {"top", "top/sub", "top/sub/f"}) {
    struct timespec times[2] = {{1000000000, 0}, {UTIME_OMIT, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, At(p).c_str(), times, 0), 0);
  }
  auto r = RunQst({"-r", At("top")});
  EXPECT_EQ(r.status, 0);
  for (const char* p : {"top", "top/sub", "top/sub/f"}) {
    struct stat st;
    ASSERT_EQ(stat(At(p).c_str(), &st), 0);
    EXPECT_EQ(st.st_atim.tv_sec, 1000000000) << p;
  }
  EXPECT_NE(r.out.find("  path: " + At("top/sub/f") + " \n"), std::string::npos);
}

}  // namespace
}  // namespace qst
