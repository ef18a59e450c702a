// FAT12, FAT16, FAT32 and exFAT images made with the system's own tools,
// read with -d and held against The Sleuth Kit; and the same volumes
// damaged byte by byte.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "run_binary.h"
#include "test_env.h"

namespace qst {
namespace {

using testing::Capture;
using testing::RunQst;
using testing::ShellQuote;

int Shell(const std::string& command) { return std::system(command.c_str()); }

// Names of every class: long, 8.3 in either case, spaces and dots, accents,
// CJK, and one that is deleted.
const std::vector<std::string> kNames = {"a.txt",
                                         "UPPER.TXT",
                                         "lower.txt",
                                         "A Long File Name.txt",
                                         "name with  spaces . and.dots.tar.gz",
                                         "caf\xC3\xA9 \xC3\xBCn\xC3\xAF.txt",
                                         "\xE6\x97\xA5\xE6\x9C\xAC.txt",
                                         std::string(150, 'n') + ".dat"};

struct Volume {
  std::string kind;  // "12", "16", "32" or "exfat"
  std::string image;
  std::string skip;
};

class FatImages : public ::testing::TestWithParam<const char*> {
 protected:
  static void SetUpTestSuite() {
    char dir_template[] = "/tmp/qst_fat_XXXXXX";
    dir_ = mkdtemp(dir_template);
    const std::string src = dir_ + "/src";
    Shell("mkdir -p " + src + "/d/sub");
    for (const std::string& name : kNames) std::ofstream(src + "/" + name) << name;
    std::ofstream(src + "/d/sub/deep.dat") << "deep";
    std::ofstream(src + "/gone.txt") << "gone";
    Shell("touch -d '2021-03-04 05:06:07.89' " + ShellQuote(src + "/a.txt"));
  }
  static void TearDownTestSuite() { Shell("rm -rf " + dir_); }

  // A volume of the kind, with the files of `src` and gone.txt deleted.
  static Volume Make(const std::string& kind) {
    Volume v{kind, dir_ + "/v" + kind + ".img", ""};
    const std::string src = dir_ + "/src";
    if (kind != "exfat") {
      if (Shell("(command -v mkfs.vfat && command -v mcopy) >/dev/null") != 0) {
        v.skip = "needs mkfs.vfat and mtools";
        return v;
      }
      const int megabytes = kind == "12" ? 4 : kind == "16" ? 20 : 40;
      Shell("rm -f " + v.image + " && truncate -s " + std::to_string(megabytes) + "M " + v.image +
            " && mkfs.vfat -F " + kind + " " + v.image + " >/dev/null && cd " + src +
            " && MTOOLS_SKIP_CHECK=1 mcopy -s -m -i " + v.image + " * ::/ && MTOOLS_SKIP_CHECK=1 " +
            "mdel -i " + v.image + " ::/gone.txt");
      return v;
    }
    if (geteuid() != 0 || Shell("(command -v mkfs.exfat && command -v mount.exfat-fuse && "
                                "command -v losetup) >/dev/null") != 0) {
      v.skip = "needs root, mkfs.exfat, exfat-fuse and losetup";
      return v;
    }
    const std::string mount = dir_ + "/mnt";
    const std::string make = "truncate -s 40M " + v.image + " && mkfs.exfat " + v.image +
                             " >/dev/null && mkdir -p " + mount + " && dev=$(losetup -f --show " +
                             v.image + ") && mount.exfat-fuse $dev " + mount +
                             " >/dev/null 2>&1 && cp -rp " + src + "/. " + mount + "/ && rm " +
                             mount + "/gone.txt && umount " + mount + "; losetup -d $dev";
    if (Shell(make) != 0) v.skip = "the exFAT image could not be made";
    return v;
  }

  static inline std::string dir_;
};

// The body-file rows of a listing by inode: path, then the times and size.
std::map<std::string, std::vector<std::string>> ByInode(const std::string& body, bool fls) {
  std::map<std::string, std::vector<std::string>> rows;
  std::istringstream lines(body);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> f;
    std::stringstream cells(line);
    for (std::string cell; std::getline(cells, cell, '|');) f.push_back(cell);
    if (f.size() < 11) continue;
    std::string path = f[1];
    if (fls) {
      if (path.rfind("/$", 0) == 0 || path == "/") continue;
      // A deleted 8.3 name's first byte, kept as 0xE5: σ in the OEM page
      // qst shows it in, '_' here.
      if (f[1].size() > 2 && f[1][1] == '_' && f[1].find(" (deleted)") != std::string::npos)
        path.replace(1, 1, "\xCF\x83");
      path = "C:" + path;
      for (char& c : path)
        if (c == '/') c = '\\';
    } else {
      if (path == "C:\\") continue;
      if (path.back() == '\\') path.pop_back();
      for (std::string* t : {&f[7], &f[8], &f[10]}) *t = t->substr(0, t->find('.'));
    }
    const bool folder = f[3][0] == 'd';
    rows[f[2]] = {path, f[7], f[8], f[10], folder ? "" : f[6]};
  }
  return rows;
}

TEST_P(FatImages, EveryPathTimeAndDeletedEntryAgreesWithTheSleuthKit) {
  Volume v = Make(GetParam());
  if (!v.skip.empty()) QST_SKIP() << v.skip;
  auto r = RunQst({"-d", v.image, "-a", "--bodyfile", "-r", "C:\\"}, "TZ=UTC");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  auto fls = ByInode(Capture("TZ=UTC fls -r -m / -z UTC " + v.image), true);
  auto qst = ByInode(r.out, false);
  // exFAT's 10-ms field adds up to 1.99 s to the even second; The Sleuth
  // Kit's body file leaves it out.
  if (v.kind == "exfat")
    for (auto& [inode, row] : qst)
      if (fls.count(inode) != 0)
        for (std::size_t t : {2, 3})
          if (std::stoll(row[t]) - std::stoll(fls[inode][t]) == 1) row[t] = fls[inode][t];
  EXPECT_EQ(qst, fls) << r.out << Capture("fls -r -m / -z UTC " + v.image);
  ASSERT_GE(qst.size(), kNames.size() + 4);
  // The rows: one a name, each found again by the path it was listed at.
  auto rows = RunQst({"-d", v.image, "-e", "-u", "-r", "C:\\"}, "TZ=UTC");
  std::vector<std::string> paths = testing::PathColumn(rows.out);
  std::vector<std::string> again = {"-d", v.image, "-e", "-u"};
  again.insert(again.end(), paths.begin(), paths.end());
  EXPECT_EQ(RunQst(again, "TZ=UTC").out, rows.out);
  // FAT's grain: writes on even seconds, access a date, creation in 10 ms.
  EXPECT_EQ(testing::RowField(rows.out, "C:\\a.txt", "mtime"),
            v.kind == "exfat" ? "2021/03/04 05:06:07.000000000 (UTC)"  // exfat-fuse keeps seconds
                              : "2021/03/04 05:06:06.000000000 (UTC)")
      << rows.out;
  EXPECT_NE(rows.out.find(v.kind == "exfat" ? "|exFAT |" : "|FAT |"), std::string::npos);
}

TEST_P(FatImages, TimesAreInTheRunsZoneAndOptionsThatReadNtfsAreRefused) {
  Volume v = Make(GetParam());
  if (!v.skip.empty()) QST_SKIP() << v.skip;
  // FAT keeps local time: read nine hours east, each time is nine hours
  // earlier in UTC. exFAT's own offsets, where given, win.
  auto utc = RunQst({"-d", v.image, "-e", "-u", "C:\\a.txt"}, "TZ=UTC");
  auto east = RunQst({"-d", v.image, "-e", "-u", "C:\\a.txt"}, "TZ=Asia/Tokyo");
  if (v.kind != "exfat")
    EXPECT_NE(east.out.find("2021/03/03 20:06:06.000000000"), std::string::npos) << east.out;
  else
    EXPECT_EQ(east.out, utc.out);
  for (const char* option : {"-n", "-U", "-S", "-I", "-L"}) {
    auto refused = RunQst({"-d", v.image, option, "C:\\a.txt"});
    EXPECT_EQ(refused.status, 1) << option;
    EXPECT_NE(refused.err.find(std::string(": ") + option + " reads what only NTFS keeps\n"),
              std::string::npos)
        << refused.err;
    EXPECT_EQ(refused.out, "");
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, FatImages, ::testing::Values("12", "16", "32", "exfat"),
                         [](const auto& kind) { return std::string("fat") + kind.param; });

}  // namespace
}  // namespace qst
