// qst over a real NTFS volume: an image made with mkntfs, mounted with
// ntfs-3g, with exact times and object IDs set through its extended
// attributes. Needs root and /dev/fuse; skipped where either is missing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "probe/le.h"
#include "probe/platform.h"
#include "run_binary.h"
#include "scratch_ntfs.h"
#include "test_env.h"
#include "time/timestamp.h"

namespace qst {
namespace {

using testing::RunQst;

constexpr FILETIME kA = 129408480001234567;  // 2011-01-30 08:00:00.1234567
constexpr FILETIME kW = 129408480011230000;  // 2011-01-30 08:00:01.123
constexpr FILETIME kC = 129408480020000007;  // 2011-01-30 08:00:02.0000007
constexpr FILETIME kL = 129000000001234567;  // 2009-10-14 13:20:00.1234567
const char kTimes[] = "system.ntfs_times";
const char kObjectId[] = "system.ntfs_object_id";

class NtfsVolume : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    volume_.Make("qst_ntfs", 16);
    if (!volume_.skip.empty()) return;
    dir_ = volume_.dir;
    image_ = volume_.image;
    mount_ = volume_.mount;
    Populate();
  }

  static void TearDownTestSuite() { volume_.Remove(); }

  void SetUp() override {
    if (!volume_.skip.empty()) QST_SKIP() << volume_.skip;
  }

  static std::string At(const std::string& relative) { return mount_ + "/" + relative; }

  static void Write(const std::string& relative, const std::string& text) {
    std::ofstream(At(relative)) << text;
  }

  // Sets creation, last write and last access; the volume sets the change
  // time itself.
  static void SetTimes(const std::string& relative, FILETIME creation, FILETIME write,
                       FILETIME access) {
    ASSERT_TRUE(testing::SetNtfsTimes(At(relative), creation, write, access)) << relative;
  }

  static std::string RawTimes(const std::string& path) {
    char times[32];
    ssize_t n = lgetxattr(path.c_str(), kTimes, times, sizeof times);
    return n == 32 ? std::string(times, 32) : std::string();
  }

  static FILETIME ChangeTime(const std::string& relative) {
    std::string raw = RawTimes(At(relative));
    return LoadLe64(reinterpret_cast<const std::uint8_t*>(raw.data()) + 24);
  }

  static std::string Index(const std::string& relative) {
    struct stat st;
    lstat(At(relative).c_str(), &st);
    return std::to_string(static_cast<std::int32_t>(st.st_ino));
  }

  // The slash form in UTC, by the C library's calendar.
  static std::string Utc(FILETIME t) {
    time_t seconds = static_cast<time_t>(t / 10000000) - 11644473600;
    struct tm tm;
    gmtime_r(&seconds, &tm);
    char text[64];
    std::strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S", &tm);
    std::string fraction = std::to_string(t % 10000000);
    return text + ("." + std::string(7 - fraction.size(), '0') + fraction + "00");
  }

  static void Populate() {
    Write("memo.txt", "memo");
    SetTimes("memo.txt", 129512692758610936, 129514863094182273, 129524953617302915);
    const unsigned char memo_id[64] = {0x00, 0xC6, 0x22, 0xDC, 0x0E, 0x8B, 0xE0, 0x11, 0x9A, 0x3F,
                                       0x02, 0x4F, 0x7A, 0x19, 0xC3, 0x08, 0x5C, 0x1E, 0x0A, 0x93,
                                       0xD2, 0xB7, 0x4F, 0x6E, 0x8A, 0x0C, 0x31, 0xF5, 0xB9, 0xD4,
                                       0x7E, 0x26, 0x80, 0x67, 0x1F, 0xB0, 0x07, 0xEB, 0xDF, 0x11,
                                       0x8B, 0x52, 0x02, 0x61, 0xD4, 0x8E, 0x05, 0x7B};
    ASSERT_EQ(setxattr(At("memo.txt").c_str(), kObjectId, memo_id, 64, 0), 0);

    // Only an object ID, no birth IDs.
    Write("short.txt", "short");
    SetTimes("short.txt", kC, kW, kA);
    const unsigned char short_id[16] = {0x87, 0x56, 0x8A, 0x13, 0x3A, 0x15, 0xE0, 0x11,
                                        0x9A, 0xBC, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
    ASSERT_EQ(setxattr(At("short.txt").c_str(), kObjectId, short_id, 16, 0), 0);

    mkdir(At("top").c_str(), 0755);
    mkdir(At("top/sub").c_str(), 0755);
    Write("top/z.txt", "z");
    Write("top/a.txt", "a");
    Write("top/sub/b.txt", "b");
    for (const char* p : {"top/z.txt", "top/a.txt", "top/sub/b.txt", "top/sub", "top"})
      SetTimes(p, kC, kW, kA);

    symlink("memo.txt", At("to-file").c_str());
    symlink("top", At("to-folder").c_str());
    symlink("nowhere", At("dangling").c_str());
    for (const char* p : {"to-folder", "dangling"}) SetTimes(p, kL, kL, kL);
  }

  static inline testing::ScratchNtfs volume_;
  static inline std::string dir_, image_, mount_;
};

std::string Block(const std::string& path, const std::string& id, const std::string& a,
                  const std::string& m, const std::string& c, const std::string& cr,
                  const std::string& type) {
  return "\n  path: " + path + " \n    ID: " + id + " \n atime: " + a + " (UTC) \n mtime: " + m +
         " (UTC) \n ctime: " + c + " (UTC) \ncrtime: " + cr + " (UTC) \n  type: " + type + " \n";
}

TEST_F(NtfsVolume, ReportsRawNtfsTimesAndTheFullObjectId) {
  auto r = RunQst({"-u", At("memo.txt")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, Block(At("memo.txt"), Index("memo.txt"), "2011/06/14 03:22:41.730291500",
                         "2011/06/02 11:05:09.418227300", Utc(ChangeTime("memo.txt")),
                         "2011/05/30 22:47:55.861093600", "FILETIME") +
                       "\n   OID: 00C622DC0E8BE0119A3F024F7A19C308 \n"
                       " otime: 2011/05/30 22:47:56.018432000 (UTC) \n"
                       "  oseq: 6719 (1a3f) oMAC: 02-4F-7A-19-C3-08 \n"
                       "\n  BOID: 80671FB007EBDF118B520261D48E057B \n"
                       "botime: 2010/11/08 07:13:29.655078400 (UTC) \n"
                       " boseq: 2898 (0b52) boMAC: 02-61-D4-8E-05-7B \n"
                       "\n  BVID: 5C1E0A93D2B74F6E8A0C31F5B9D47E26 \n\n");
}

TEST_F(NtfsVolume, ObjectIdWithoutBirthIdsDecodesZeros) {
  auto r = RunQst({"-u", "-e", "-i", At("short.txt")});
  std::string ctime = Utc(ChangeTime("short.txt"));
  for (char& c : ctime) c = c == '/' ? '-' : c == ' ' ? 'T' : c;
  EXPECT_EQ(r.out, std::string(testing::kHeaderRow) + "Unknown Error\n" + At("short.txt") + " |" +
                       Index("short.txt") +
                       " |2011-01-30T08:00:00.123456700 (UTC) |2011-01-30T08:00:01.123000000 "
                       "(UTC) |" +
                       ctime +
                       " (UTC) |2011-01-30T08:00:02.000000700 (UTC) |"
                       "FILETIME |87568A133A15E0119ABC123456789ABC |"
                       "2011-01-01T00:00:00.123456700 (UTC) |6844 (1abc) |12-34-56-78-9A-BC |"
                       "00000000000000000000000000000000 |0000-00-00T00:00:00.000000000 (UTC) "
                       "|0 (0000) |00-00-00-00-00-00 |00000000000000000000000000000000 \n");
}

TEST_F(NtfsVolume, LinksFollowFilesButNotFolders) {
  auto r = RunQst({"-u", At("to-file"), At("to-folder"), At("dangling")});
  std::string memo = Block(At("to-file"), Index("memo.txt"), "2011/06/14 03:22:41.730291500",
                           "2011/06/02 11:05:09.418227300", Utc(ChangeTime("memo.txt")),
                           "2011/05/30 22:47:55.861093600", "FILETIME");
  const std::string own = "2009/10/14 13:20:00.123456700";
  std::string folder_link = Block(At("to-folder"), Index("to-folder"), own, own,
                                  Utc(ChangeTime("to-folder")), own, "FILETIME");
  std::string dangling = Block(At("dangling"), Index("dangling"), own, own,
                               Utc(ChangeTime("dangling")), own, "FILETIME");
  ASSERT_EQ(r.out.rfind(memo, 0), 0u) << r.out;
  EXPECT_NE(r.out.find(folder_link), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(dangling), std::string::npos) << r.out;
}

TEST_F(NtfsVolume, DanglingLinkProbedFirstStillShowsRawTimes) {
  // The volume is recognised from the folder that holds the link.
  auto r = RunQst({"-u", At("dangling")});
  const std::string own = "2009/10/14 13:20:00.123456700";
  EXPECT_EQ(r.out, Block(At("dangling"), Index("dangling"), own, own, Utc(ChangeTime("dangling")),
                         own, "FILETIME"));
}

TEST_F(NtfsVolume, RootOfTheMountIsRecognised) {
  // The folder probed first is the volume's root, whose parent lies on
  // another file system.
  SetTimes(".", kC, kW, kA);
  auto r = RunQst({"-u", "-e", mount_ + "/", At("memo.txt")});
  std::string row = r.out.substr(r.out.find('\n') + 1);
  EXPECT_EQ(row.substr(0, row.find(" |FILETIME |")),
            mount_ + "/ |" + Index(".") + " |2011/01/30 08:00:00.123456700 (UTC) |" +
                "2011/01/30 08:00:01.123000000 (UTC) |" + Utc(ChangeTime(".")) +
                " (UTC) |2011/01/30 08:00:02.000000700 (UTC)");
}

TEST_F(NtfsVolume, WalkIsDepthFirstInTheVolumeOrder) {
  std::vector<std::string> expected = {"top/", "top/a.txt", "top/sub/", "top/sub/b.txt",
                                       "top/z.txt"};
  for (std::string operand : {At("top"), At("top/"), At("top/*")}) {
    auto r = RunQst({"-u", "-e", "-r", operand});
    std::string rows = testing::kHeaderRow;
    for (const std::string& p : expected) {
      std::string relative = p.back() == '/' ? p.substr(0, p.size() - 1) : p;
      rows += At(p) + " |" + Index(relative) + " |2011/01/30 08:00:00.123456700 (UTC) |" +
              "2011/01/30 08:00:01.123000000 (UTC) |" + Utc(ChangeTime(relative)) +
              " (UTC) |2011/01/30 08:00:02.000000700 (UTC) |FILETIME |" +
              "null | null | null | null | null | null | null | null | null\n";
    }
    EXPECT_EQ(r.out, rows) << operand;
  }
}

TEST_F(NtfsVolume, ProbesInFlightChangeNothingInTheOutput) {
  // FUSE answers slowly: by default several probes run at once here. The
  // records, their order and the errors are those of one at a time.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-e", "-u", "-r", mount_},
        {"-u", "-i", "-r", At("top")},
        {"-e", "-u", At("*"), At("top/*"), At("missing/*")}}) {
    auto one = args, eight = args, automatic = args;
    one.insert(one.begin(), {"-j", "1"});
    eight.insert(eight.begin(), "-j8");
    auto single = RunQst(one);
    EXPECT_GT(single.out.size(), 100u);
    EXPECT_EQ(RunQst(automatic).both, single.both);
    EXPECT_EQ(RunQst(eight).both, single.both);
  }
}

TEST_F(NtfsVolume, WildcardReportsFoldersWithoutEnteringThem) {
  auto r = RunQst({"-u", "-e", At("top/*")});
  EXPECT_EQ(testing::PathColumn(r.out),
            (std::vector<std::string>{At("top/a.txt"), At("top/sub/"), At("top/z.txt")}));
}

TEST_F(NtfsVolume, ReportingChangesNoTimeOnTheVolume) {
  const std::vector<std::string> files = {At("memo.txt"),      At("short.txt"), At("top/a.txt"),
                                          At("top/sub/b.txt"), At("top/z.txt"), At("to-folder"),
                                          At("dangling")};
  const std::vector<std::string> folders = {mount_, At("top"), At("top/sub")};
  std::map<std::string, std::string> before;
  for (const auto* list : {&files, &folders})
    for (const std::string& p : *list) before[p] = RawTimes(p);

  auto r = RunQst({"-r", mount_, At("top/*"), At("memo.txt"), At("to-file")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  for (const std::string& p : files) EXPECT_EQ(RawTimes(p), before[p]) << p;
  // ntfs-3g itself may refresh a folder's access time when the folder is
  // listed on a read-write mount (it ignores O_NOATIME); nothing else moves.
  for (const std::string& p : folders) {
    std::string now = RawTimes(p);
    EXPECT_EQ(now.substr(0, 16), before[p].substr(0, 16)) << p;
    EXPECT_EQ(now.substr(24), before[p].substr(24)) << p;
  }
}

}  // namespace
}  // namespace qst
