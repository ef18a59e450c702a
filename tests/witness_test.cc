// The second witness of qst -d: the $FILE_NAME times (-n) against The Sleuth
// Kit's istat, signs of forged times on files crafted for them, deleted
// records (-a) against ils/istat and fls, and a bare MFT against the volume
// that held it.
#include <gtest/gtest.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "probe/le.h"
#include "probe/ntfs/ntfs-volume.h"
#include "run_binary.h"
#include "scratch_ntfs.h"
#include "test_env.h"

namespace qst {
namespace {

using testing::Capture;
using testing::Count;
using testing::RunQst;

int Shell(const std::string& command) { return std::system(command.c_str()); }

// The field `n` (from 0) of a row, without the space that ends the last.
std::string Field(const std::string& row, int n) {
  std::size_t pos = 0;
  for (int i = 0; i < n; ++i) pos = row.find(" |", pos) + 2;
  std::string field = row.substr(pos, row.find(" |", pos) - pos);
  if (!field.empty() && field.back() == ' ') field.pop_back();
  return field;
}

// The rows of a row-layout output by path.
std::map<std::string, std::string> RowsByPath(const std::string& out) {
  std::map<std::string, std::string> rows;
  for (std::size_t pos = out.find('\n') + 1; pos > 0 && pos < out.size();) {
    std::size_t end = out.find('\n', pos);
    std::string row = out.substr(pos, end - pos);
    if (row.find(" |") != std::string::npos) rows[Field(row, 0)] = row;
    pos = end + 1;
  }
  return rows;
}

class Witness : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    volume_.Make("qst_witness", 16);
    if (!volume_.skip.empty()) return;
    const std::string m = volume_.mount;
    Shell("mkdir -p " + m + "/docs " + m +
          "/gone/inner && for f in plain backdated seconds copied set-seconds 'Long name'; "
          "do echo $f > " +
          m + "/docs/$f.txt; done && echo d > " + m + "/docs/deleted.txt && echo x > " + m +
          "/gone/inner/x.txt && echo y > " + m + "/gone/y.txt");
    // A copy keeps its source's write time, a day before it was made here.
    std::uint8_t times[24];
    for (int i = 0; i < 8; ++i) {
      times[i] = static_cast<std::uint8_t>(130000000001234567 >> (8 * i));
      times[8 + i] = static_cast<std::uint8_t>(129990000001234567 >> (8 * i));
      times[16 + i] = static_cast<std::uint8_t>(130000000001234567 >> (8 * i));
    }
    setxattr((m + "/docs/copied.txt").c_str(), "system.ntfs_times", times, sizeof times, 0);
    const char kShort[] = "LONGNA~1.TXT";
    setxattr((m + "/docs/Long name.txt").c_str(), "system.ntfs_dos_name", kShort, sizeof kShort - 1,
             0);
    // Deleted: a file, and a folder whose record is then reused by another
    // folder, so that what it held loses its parent.
    Shell("rm " + m + "/docs/deleted.txt && rm -rf " + m + "/gone && umount " + m + " && ntfs-3g " +
          volume_.image + " " + m + " && mkdir " + m + "/new && umount " + m);
    volume_.mounted = false;
    image_ = volume_.image;
    // The SI times of two files set by hand, as a forger's tool sets them:
    // backdated.txt's creation a year early; seconds.txt's all four on the
    // next whole second.
    BackdateRecord(RecordOf("C:\\docs\\backdated.txt"), [](std::uint64_t* t, int i) {
      if (i == 0) *t -= 365ull * 864000000000;
    });
    BackdateRecord(RecordOf("C:\\docs\\seconds.txt"),
                   [](std::uint64_t* t, int) { *t += 10000000 - *t % 10000000; });
    // set-seconds.txt's creation, write and access on the next whole second,
    // as SetFileTime leaves them (it cannot set the change time).
    BackdateRecord(RecordOf("C:\\docs\\set-seconds.txt"), [](std::uint64_t* t, int i) {
      if (i != 2) *t += 10000000 - *t % 10000000;
    });
    // Long name.txt's creation a year early in $SI and its long name's
    // $FILE_NAME; its 8.3 name's left as NTFS wrote it.
    const std::uint64_t long_name = RecordOf("C:\\docs\\Long name.txt");
    std::uint64_t year_early = 0;
    BackdateRecord(long_name, [&](std::uint64_t* t, int i) {
      if (i == 0) year_early = *t -= 365ull * 864000000000;
    });
    ASSERT_TRUE(testing::PatchNameCreation(image_, long_name, 1, year_early));
  }
  static void TearDownTestSuite() { volume_.Remove(); }
  void SetUp() override {
    if (!volume_.skip.empty()) QST_SKIP() << volume_.skip;
  }

  static std::uint64_t RecordOf(const std::string& path) {
    std::string row = RunQst({"-d", image_, "-e", path}).out;
    return std::stoull(Field(row.substr(row.find('\n') + 1), 1));
  }

  // Rewrites the four $STANDARD_INFORMATION times of `record` in place.
  template <typename Change>
  static void BackdateRecord(std::uint64_t record, Change change) {
    ASSERT_TRUE(testing::PatchStandardInformation(image_, record, change));
  }

  // istat's times of one attribute section ("$STANDARD_INFORMATION" or
  // "$FILE_NAME") of `record`, as qst -u -i prints them: creation, write,
  // change, access.
  // With `name`, the $FILE_NAME section of that name (a long name's 8.3
  // name has one of its own).
  static std::vector<std::string> IstatTimes(std::uint64_t record, const std::string& section,
                                             const std::string& name = "") {
    std::string out = Capture("istat -z UTC " + image_ + " " + std::to_string(record));
    std::size_t at = out.find(section + " Attribute Values:");
    while (!name.empty() && at != std::string::npos &&
           out.find("Name: " + name + "\n", at) != out.find("Name: ", at))
      at = out.find(section + " Attribute Values:", at + 1);
    std::vector<std::string> times;
    for (const char* label : {"Created:\t", "File Modified:\t", "MFT Modified:\t", "Accessed:\t"}) {
      std::size_t pos = out.find(label, at);
      if (at == std::string::npos || pos == std::string::npos) return {};
      pos += std::string(label).size();
      std::string t = out.substr(pos, out.find('\n', pos) - pos);
      t[10] = 'T';
      times.push_back(t);
    }
    return times;
  }

  static inline testing::ScratchNtfs volume_;
  static inline std::string image_;
};

TEST_F(Witness, NameTimesAreThoseTheSleuthKitReads) {
  auto rows = RowsByPath(RunQst({"-d", image_, "-n", "-e", "-u", "-i", "-r", "C:\\"}).out);
  ASSERT_GE(rows.size(), 6u);
  for (const auto& [path, row] : rows) {
    std::uint64_t record = std::stoull(Field(row, 1));
    // Field 16 on: the name's access, write, change and creation times.
    std::vector<std::string> fn =
        IstatTimes(record, "$FILE_NAME", path.substr(path.rfind('\\') + 1));
    ASSERT_EQ(fn.size(), 4u) << path;
    EXPECT_EQ(Field(row, 16), fn[3]) << path;
    EXPECT_EQ(Field(row, 17), fn[1]) << path;
    EXPECT_EQ(Field(row, 18), fn[2]) << path;
    EXPECT_EQ(Field(row, 19), fn[0]) << path;
  }
}

TEST_F(Witness, EachSignFiresOnTheFileMadeForIt) {
  auto rows = RowsByPath(RunQst({"-d", image_, "-n", "-e", "-u", "-r", "C:\\docs"}).out);
  // The alerts, the notes and the finding.
  const std::map<std::string, std::array<std::string, 3>> expected = {
      {"C:\\docs\\plain.txt", {"", "", "consistent (FN)"}},
      {"C:\\docs\\backdated.txt", {"SI<FN", "SI<volume out-of-order", "suspect (FN)"}},
      {"C:\\docs\\seconds.txt", {"SI-seconds", "", "suspect (FN)"}},
      {"C:\\docs\\copied.txt", {"", "copied SI<volume FN<volume out-of-order", "provenance (FN)"}},
      {"C:\\docs\\set-seconds.txt", {"set-seconds", "", "suspect (FN)"}},
      {"C:\\docs\\Long name.txt", {"SI<FN", "SI<volume FN<volume out-of-order", "suspect (FN)"}},
  };
  for (const auto& [path, signs] : expected) {
    ASSERT_EQ(rows.count(path), 1u) << path;
    EXPECT_EQ(Field(rows[path], 21), signs[0]) << path;
    EXPECT_EQ(Field(rows[path], 22), signs[1]) << path;
    EXPECT_EQ(Field(rows[path], 23), signs[2]) << path;
  }
}

TEST_F(Witness, DeletedRecordsShowTheTimesTheyKept) {
  auto r = RunQst({"-d", image_, "-a", "-e", "-u", "-i", "-r", "C:\\"});
  auto rows = RowsByPath(r.out);
  // fls names every deleted file; qst lists each, marked, under its folder
  // or, where that folder is gone, under C:\$Orphan.
  std::string fls = Capture("fls -r -d -p " + image_);
  const std::map<std::string, std::string> deleted = {
      {"docs/deleted.txt", "C:\\docs\\deleted.txt"},
      {"$OrphanFiles/y.txt", "C:\\$Orphan\\y.txt"},
      {"$OrphanFiles/inner/x.txt", "C:\\$Orphan\\inner\\x.txt"},
  };
  for (const auto& [tsk_path, path] : deleted) {
    EXPECT_NE(fls.find(tsk_path), std::string::npos) << tsk_path << "\n" << fls;
    ASSERT_EQ(rows.count(path), 1u) << path << "\n" << r.out;
    const std::string& row = rows[path];
    EXPECT_EQ(Field(row, 16), "deleted") << row;
    std::vector<std::string> si = IstatTimes(std::stoull(Field(row, 1)), "$STANDARD_INFORMATION");
    ASSERT_EQ(si.size(), 4u);
    EXPECT_EQ(Field(row, 2), si[3]) << path;
    EXPECT_EQ(Field(row, 3), si[1]) << path;
    EXPECT_EQ(Field(row, 4), si[2]) << path;
    EXPECT_EQ(Field(row, 5), si[0]) << path;
  }
  EXPECT_EQ(Field(rows["C:\\docs\\plain.txt"], 16), "in use");
  // Deleted entries come after the live ones of their folder, the orphans
  // last of all.
  std::vector<std::string> paths = testing::PathColumn(r.out);
  auto index = [&](const std::string& p) {
    return std::find(paths.begin(), paths.end(), p) - paths.begin();
  };
  EXPECT_LT(index("C:\\docs\\seconds.txt"), index("C:\\docs\\deleted.txt"));
  EXPECT_EQ(paths.back(), "C:\\$Orphan\\y.txt");
  // Without -a, none of them.
  EXPECT_EQ(RunQst({"-d", image_, "-e", "-r", "C:\\"}).out.find("deleted"), std::string::npos);
}

// Forty files whose object IDs are kept alone in their attributes: their
// birth IDs lie in $ObjId:$O, which has outgrown its root into blocks a
// bare MFT does not hold. There they are unknown (null), never zeros.
TEST(BareMft, BirthIdsItCannotReadAreNullNotZeros) {
  testing::ScratchNtfs v;
  v.Make("qst_births", 16);
  if (!v.skip.empty()) QST_SKIP() << v.skip;
  for (int i = 0; i < 40; ++i) {
    const std::string f = v.mount + "/f" + std::to_string(i) + ".txt";
    std::ofstream(f) << i;
    unsigned char id[16] = {0x10, static_cast<unsigned char>(i),
                            0x20, 0x30,
                            0x40, 0x50,
                            0x60, 0x70,
                            0x80, 0x90,
                            0xA0, 0xB0,
                            0xC0, 0xD0,
                            0xE0, 0xF0};
    ASSERT_EQ(setxattr(f.c_str(), "system.ntfs_object_id", id, sizeof id, 0), 0);
  }
  ASSERT_EQ(Shell("umount " + v.mount), 0);
  v.mounted = false;
  const std::string mft = v.dir + "/mft";
  ASSERT_EQ(Shell("icat " + v.image + " 0 > " + mft), 0);
  auto whole = RunQst({"-d", v.image, "--json", "-r", "C:\\"});
  auto bare = RunQst({"-d", mft, "--json", "-r", "C:\\"});
  EXPECT_EQ(whole.status, 0);
  EXPECT_EQ(bare.status, 0);
  EXPECT_EQ(Count(whole.out, "\"birth_object_id\":null"), 0u);
  EXPECT_EQ(Count(bare.out, "\"birth_object_id\":null,\"birth_volume_id\":null"), 40u) << bare.out;
  // Nor any time made up from them.
  EXPECT_EQ(Count(bare.out, "\"object_id\":{"), 40u);
  auto rows = RunQst({"-d", mft, "-e", "C:\\f7.txt"});
  EXPECT_NE(rows.out.find("|null | null | null | null | null \n"), std::string::npos) << rows.out;
  v.Remove();
}

TEST_F(Witness, ABareMftGivesWhatItsVolumeGives) {
  std::string mft = volume_.dir + "/mft";
  ASSERT_EQ(Shell("icat " + image_ + " 0 > " + mft), 0);
  for (const char* options : {"-eu", "-euna"}) {
    auto from_mft = RunQst({"-d", mft, options, "-r", "C:\\"});
    auto from_volume = RunQst({"-d", image_, options, "-r", "C:\\"});
    EXPECT_EQ(from_mft.status, 0);
    EXPECT_EQ(from_mft.out, from_volume.out) << options;
    // The same volume, made at the same time.
    auto made = [](const std::string& err) {
      std::size_t at = err.find(": the volume was made");
      return at == std::string::npos ? err : err.substr(at);
    };
    EXPECT_EQ(made(from_mft.err), made(from_volume.err));
  }
}

TEST_F(Witness, TheBuiltInUpcaseTableIsTheOneNewVolumesHave) {
  std::string table = Capture("icat " + image_ + " 10");
  ASSERT_EQ(table.size(), 131072u);
  std::vector<char16_t> built_in = DefaultUpcaseTable();
  for (std::uint32_t c = 0; c < 65536; ++c)
    ASSERT_EQ(built_in[c], LoadLe16(reinterpret_cast<const std::uint8_t*>(table.data()) + 2 * c))
        << c;
}

}  // namespace
}  // namespace qst
