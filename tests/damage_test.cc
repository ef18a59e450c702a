// qst -d over copies of one volume damaged on purpose, as evidence comes:
// every record that can still be read is reported, no value that was not
// read is shown, and what was lost is said once on standard error. Also:
// the image is only ever read.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ntfs_builder.h"
#include "probe/le.h"
#include "run_binary.h"
#include "scratch_ntfs.h"
#include "test_env.h"

namespace qst {
namespace {

using testing::RunQst;
using testing::SortedLines;

int Shell(const std::string& command) { return std::system(command.c_str()); }

// Reads and writes bytes of an image file in place.
class ImageBytes {
 public:
  explicit ImageBytes(const std::string& path)
      : file_(path, std::ios::in | std::ios::out | std::ios::binary) {}
  std::string Read(std::uint64_t at, std::size_t size) {
    std::string bytes(size, '\0');
    file_.seekg(static_cast<std::streamoff>(at));
    file_.read(bytes.data(), static_cast<std::streamsize>(size));
    return bytes;
  }
  void Write(std::uint64_t at, const std::string& bytes) {
    file_.seekp(static_cast<std::streamoff>(at));
    file_.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file_.flush();
  }

 private:
  std::fstream file_;
};

const std::uint8_t* Bytes(const std::string& s) {
  return reinterpret_cast<const std::uint8_t*>(s.data());
}

class DamagedVolume : public ::testing::Test {
 protected:
  static constexpr int kLinks = 100;

  static void SetUpTestSuite() {
    volume_.Make("qst_damage", 16, "fls");
    if (!volume_.skip.empty()) return;
    const std::string m = volume_.mount;
    Shell("mkdir -p " + m + "/many " + m + "/dir && echo a > " + m + "/a.txt && echo b > " + m +
          "/dir/b.txt && echo t > " + m + "/many/target.txt");
    // So many names that they spill into extension records.
    for (int i = 0; i < kLinks; ++i)
      link((m + "/many/target.txt").c_str(),
           (m + "/many/a-rather-long-name-for-one-more-link-" + std::to_string(i)).c_str());
    Shell("umount " + m);
    volume_.mounted = false;
    reference_ = RunQst({"-d", volume_.image, "-e", "-u", "-r", "C:\\"}).out;
  }
  static void TearDownTestSuite() { volume_.Remove(); }

  void SetUp() override {
    if (!volume_.skip.empty()) QST_SKIP() << volume_.skip;
    copy_ = volume_.dir + "/copy.img";
    ASSERT_EQ(Shell("cp " + volume_.image + " " + copy_), 0);
    ImageBytes image(copy_);
    std::string boot = image.Read(0, 512);
    cluster_ = std::uint64_t{LoadLe16(Bytes(boot) + 11)} * Bytes(boot)[13];
    mft_ = LoadLe64(Bytes(boot) + 0x30) * cluster_;
  }

  // The record number qst reports for a path of the sound volume.
  static std::uint64_t RecordOf(const std::string& path) {
    std::string row = RunQst({"-d", volume_.image, "-e", path}).out;
    return std::stoull(row.substr(row.find(" |", row.find('\n')) + 2));
  }

  // The offset in the copy of attribute `type` of MFT record `record`.
  std::uint64_t AttributeAt(std::uint64_t record, std::uint32_t type) {
    std::string r = ImageBytes(copy_).Read(mft_ + record * 1024, 1024);
    for (std::size_t pos = LoadLe16(Bytes(r) + 20); pos + 8 < r.size();) {
      if (LoadLe32(Bytes(r) + pos) == type) return mft_ + record * 1024 + pos;
      std::uint32_t length = LoadLe32(Bytes(r) + pos + 4);
      if (length == 0 || LoadLe32(Bytes(r) + pos) == 0xFFFFFFFF) break;
      pos += length;
    }
    ADD_FAILURE() << "no attribute " << type << " in record " << record;
    return 0;
  }

  // The first extension record of the record `target` in the copy; 0 for none.
  std::uint64_t FirstExtensionOf(std::uint64_t target) {
    ImageBytes image(copy_);
    for (std::uint64_t n = 16; n < 200; ++n) {
      std::string header = image.Read(mft_ + n * 1024, 48);
      if (header.compare(0, 4, "FILE") == 0 &&
          (LoadLe64(Bytes(header) + 32) & 0xFFFFFFFFFFFF) == target)
        return n;
    }
    return 0;
  }

  testing::RunResult Run() { return RunQst({"-d", copy_, "-e", "-u", "-r", "C:\\"}); }

  static inline testing::ScratchNtfs volume_;
  static inline std::string reference_;
  std::string copy_;
  std::uint64_t cluster_ = 0, mft_ = 0;
};

TEST_F(DamagedVolume, TheSoundVolumeListsEveryName) {
  EXPECT_EQ(testing::PathColumn(reference_).size(), 6u + kLinks);
  EXPECT_EQ(RunQst({"-d", volume_.image, "-e", "-u", "-r", "C:\\"}).err, "");
}

TEST_F(DamagedVolume, AnImageCutInsideItsMftKeepsEveryRecordInUse) {
  // mkntfs's MFT reaches beyond its last record in use (record 70 or so).
  ASSERT_EQ(truncate(copy_.c_str(), static_cast<off_t>(mft_ + 100 * 1024)), 0);
  auto r = Run();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(SortedLines(r.out), SortedLines(reference_));
  // The attribute list of the file with many links lies beyond the cut; its
  // extension records are taken at their word.
  EXPECT_EQ(r.err.rfind("qst: " + copy_ + ": 1 MFT record read in part (" +
                            std::to_string(RecordOf("C:\\many\\target.txt")) + "), image ends ",
                        0),
            0u)
      << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

TEST_F(DamagedVolume, AnMftRunListPointingPastTheImageFallsBackToTheMirror) {
  std::uint64_t data = AttributeAt(0, 0x80);
  ImageBytes image(copy_);
  std::uint64_t runs = data + LoadLe16(Bytes(image.Read(data + 32, 2)));
  image.Write(runs, std::string("\x31\x04\xFF\xFF\x7F", 5));  // 4 clusters near 8 M clusters
  auto r = Run();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, reference_);
  EXPECT_EQ(r.err, "qst: " + copy_ + ": MFT record 0 unusable, its copy in $MFTMirr read\n");
}

TEST_F(DamagedVolume, NamesOfLostExtensionRecordsComeFromTheFoldersIndex) {
  std::uint64_t target = RecordOf("C:\\many\\target.txt");
  std::vector<std::uint64_t> extensions;
  ImageBytes image(copy_);
  for (std::uint64_t n = 16; n < 200; ++n) {
    std::string header = image.Read(mft_ + n * 1024, 48);
    if (header.compare(0, 4, "FILE") == 0 &&
        (LoadLe64(Bytes(header) + 32) & 0xFFFFFFFFFFFF) == target)
      extensions.push_back(n);
  }
  ASSERT_GE(extensions.size(), 2u) << "the links did not spill into extension records";
  for (std::uint64_t n : extensions) image.Write(mft_ + n * 1024, std::string(1024, '\0'));
  auto r = Run();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(SortedLines(r.out), SortedLines(reference_));
  std::string numbers;
  for (std::uint64_t n : extensions) numbers += (numbers.empty() ? "" : ", ") + std::to_string(n);
  if (extensions.back() - extensions.front() + 1 == extensions.size() && extensions.size() > 1)
    numbers = std::to_string(extensions.front()) + "-" + std::to_string(extensions.back());
  EXPECT_EQ(r.err, "qst: " + copy_ + ": " + std::to_string(extensions.size()) +
                       " MFT records unreadable (" + numbers + ")\n");
}

// The live user files fls lists (from the folders' indexes), as qst's
// paths, folders without their trailing separator.
std::set<std::string> FlsNames(const std::string& image) {
  std::set<std::string> names;
  std::istringstream lines(testing::Capture("fls -r -p " + image));
  for (std::string line; std::getline(lines, line);) {
    std::size_t tab = line.find('\t');
    if (tab == std::string::npos || line.find(" * ") < tab) continue;
    std::uint64_t record = std::stoull(line.substr(4, line.find('-', 4) - 4));
    std::string path = line.substr(tab + 1);
    if (record < 16 || path[0] == '$') continue;
    std::replace(path.begin(), path.end(), '/', '\\');
    names.insert("C:\\" + path);
  }
  return names;
}

std::set<std::string> QstNames(const std::string& out) {
  std::set<std::string> names;
  for (std::string path : testing::PathColumn(out)) {
    if (path.size() > 3 && path.back() == '\\') path.pop_back();
    if (path != "C:\\") names.insert(path);
  }
  return names;
}

TEST_F(DamagedVolume, ANameWhoseParentReferenceFailsIsListedWhereItsIndexHoldsIt) {
  std::uint64_t b = RecordOf("C:\\dir\\b.txt");
  // The parent's sequence number in b.txt's own $FILE_NAME, not in dir's
  // index.
  std::uint64_t name = AttributeAt(b, 0x30);
  ImageBytes image(copy_);
  std::uint64_t value = name + LoadLe16(Bytes(image.Read(name + 20, 2)));
  image.Write(value + 6, std::string("\x77\x77", 2));
  auto r = Run();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, reference_);
  EXPECT_EQ(r.err, "qst: " + copy_ + ": 1 name with a parent reference that fails\n");
  EXPECT_EQ(QstNames(r.out), FlsNames(copy_));
}

TEST_F(DamagedVolume, AnIndexAddsNamesOnlyToRecordsThatLostTheirs) {
  // dir's index renames b.txt, whose record is whole; a.txt's record is
  // lost, and its name comes from the root's index.
  std::uint64_t dir = RecordOf("C:\\dir\\");
  std::uint64_t a = RecordOf("C:\\a.txt");
  ImageBytes image(copy_);
  std::string record = image.Read(mft_ + dir * 1024, 1024);
  const char b_txt[] = {'b', 0, '.', 0, 't', 0, 'x', 0, 't', 0};
  std::size_t at = record.find(std::string(b_txt, sizeof b_txt));
  ASSERT_NE(at, std::string::npos);
  image.Write(mft_ + dir * 1024 + at, "z");
  image.Write(mft_ + a * 1024 + 510, "\xEE");
  auto r = Run();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.find("z.txt"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nC:\\dir\\b.txt |"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nC:\\a.txt, CODE=1392:"), std::string::npos) << r.out;
  EXPECT_EQ(r.err, "qst: " + copy_ + ": 1 MFT record unreadable (" + std::to_string(a) + ")\n" +
                       "qst: 1 path could not be reported; its error code is in the output\n");
}

TEST_F(DamagedVolume, AnExtensionRecordWhoseWalkStopsLeavesItsNamesToTheIndex) {
  std::uint64_t target = RecordOf("C:\\many\\target.txt");
  ImageBytes image(copy_);
  const std::uint64_t extension = FirstExtensionOf(target);
  ASSERT_NE(extension, 0u) << "the links did not spill into extension records";
  // The length of its first $FILE_NAME, past the record's end.
  image.Write(AttributeAt(extension, 0x30) + 4, std::string("\x00\x00\x01\x00", 4));
  auto r = Run();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(SortedLines(r.out), SortedLines(reference_));
  EXPECT_EQ(r.err,
            "qst: " + copy_ + ": 1 MFT record read in part (" + std::to_string(target) + ")\n");
  EXPECT_EQ(QstNames(r.out), FlsNames(copy_));
}

TEST_F(DamagedVolume, AnExtensionRecordThatNamesAnotherBaseLeavesItsNamesToTheIndex) {
  // A forger's edit: one of target.txt's extension records made to name
  // a.txt as its base. a.txt's list does not name it, target.txt's does:
  // the names it held are target.txt's, as its folder's index says.
  std::uint64_t target = RecordOf("C:\\many\\target.txt");
  std::uint64_t a = RecordOf("C:\\a.txt");
  ImageBytes image(copy_);
  const std::uint64_t extension = FirstExtensionOf(target);
  ASSERT_NE(extension, 0u) << "the links did not spill into extension records";
  std::string a_sequence = image.Read(mft_ + a * 1024 + 16, 2);
  std::string reference(8, '\0');
  for (int i = 0; i < 6; ++i) reference[i] = static_cast<char>(a >> (8 * i));
  reference.replace(6, 2, a_sequence);
  image.Write(mft_ + extension * 1024 + 32, reference);
  auto r = Run();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(SortedLines(r.out), SortedLines(reference_));
  EXPECT_EQ(QstNames(r.out), FlsNames(copy_));
  EXPECT_EQ(r.err,
            "qst: " + copy_ + ": 1 MFT record read in part (" + std::to_string(extension) + ")\n");
  // Each name, given alone, is target.txt's too.
  std::string names = RunQst({"-d", volume_.image, "-e", "-u", "C:\\many\\*"}).out;
  std::vector<std::string> paths = testing::PathColumn(names);
  ASSERT_EQ(paths.size(), kLinks + 1u) << names;
  std::vector<std::string> args = {"-d", copy_, "-e", "-u"};
  args.insert(args.end(), paths.begin(), paths.end());
  EXPECT_EQ(RunQst(args).out, names);
}

TEST_F(DamagedVolume, TimesThatCannotBeReadAreNotShown) {
  std::uint64_t a = RecordOf("C:\\a.txt");
  ImageBytes(copy_).Write(AttributeAt(a, 0x10) + 4, std::string("\x00\x10\x00\x00", 4));
  auto r = Run();
  EXPECT_EQ(r.status, 1);
  std::string expected = reference_;
  std::size_t row = expected.find("C:\\a.txt |");
  ASSERT_NE(row, std::string::npos);
  expected.erase(row, expected.find('\n', row) + 1 - row);
  expected += "\nC:\\a.txt, CODE=1392:The file or directory is corrupted and unreadable.\n\n";
  EXPECT_EQ(SortedLines(r.out), SortedLines(expected));
  EXPECT_EQ(r.out.find("1601/01/01"), std::string::npos);
  EXPECT_EQ(r.err, "qst: " + copy_ + ": 1 MFT record unreadable (" + std::to_string(a) + ")\n" +
                       "qst: 1 path could not be reported; its error code is in the output\n");
}

TEST_F(DamagedVolume, AnE01ChunkThatFailsItsChecksumCostsOnlyItsRecords) {
  if (Shell("command -v ewfacquire >/dev/null") != 0) QST_SKIP() << "needs ewfacquire";
  // Stored uncompressed, so that a record's bytes can be found in the file.
  std::string e01 = volume_.dir + "/evidence";
  ASSERT_EQ(Shell("ewfacquire -u -q -t " + e01 + " -c none -S 0 -f encase6 -b 64 " + volume_.image +
                  " >/dev/null 2>&1"),
            0);
  std::uint64_t a = RecordOf("C:\\a.txt");
  std::string record = ImageBytes(copy_).Read(mft_ + a * 1024, 1024);
  std::string file = testing::ReadFile(e01 + ".E01");
  std::size_t at = file.find(record);
  ASSERT_NE(at, std::string::npos);
  file[at + 300] ^= 0x5A;
  std::ofstream(e01 + ".E01", std::ios::binary | std::ios::trunc) << file;
  auto r = RunQst({"-d", e01 + ".E01", "-e", "-u", "-r", "C:\\"});
  EXPECT_EQ(r.status, 1);
  // The chunk's 32 records (all the files here) are lost; every row shown
  // is one of the sound volume's.
  EXPECT_EQ(r.out.find("C:\\a.txt |"), std::string::npos);
  EXPECT_NE(r.out.find("C:\\ |5 |"), std::string::npos);
  std::vector<std::string> all = SortedLines(reference_);
  for (const std::string& line : SortedLines(r.out)) {
    if (line.find(" |") != std::string::npos) {
      EXPECT_TRUE(std::binary_search(all.begin(), all.end(), line)) << line;
    }
  }
  EXPECT_NE(r.err.find(" MFT records unreadable ("), std::string::npos) << r.err;
}

TEST_F(DamagedVolume, TheImageIsOnlyEverRead) {
  std::string before = testing::ReadFile(volume_.image);
  std::string trace = volume_.dir + "/trace";
  std::string cmd = "strace -f -e trace=open,openat,creat -o " + trace + " env";
  RunQst({"-d", volume_.image, "-e", "-u", "-r", "C:\\"}, cmd);
  std::string opens = testing::ReadFile(trace);
  ASSERT_NE(opens.find(volume_.image), std::string::npos) << "strace saw no open of the image";
  for (std::size_t pos = 0; pos < opens.size();) {
    std::size_t end = opens.find('\n', pos);
    std::string line = opens.substr(pos, end - pos);
    if (line.find(volume_.image) != std::string::npos) {
      EXPECT_NE(line.find("O_RDONLY"), std::string::npos) << line;
      EXPECT_EQ(line.find("O_WRONLY"), std::string::npos) << line;
      EXPECT_EQ(line.find("O_RDWR"), std::string::npos) << line;
      EXPECT_EQ(line.find("O_CREAT"), std::string::npos) << line;
    }
    pos = end + 1;
  }
  EXPECT_TRUE(testing::ReadFile(volume_.image) == before);
}

// Hostile images, each made to hang, exhaust memory or multiply output in
// a reader that trusts what it reads.
TEST(CraftedImages, EachEndsAtOnceWithAtMostOneRowPerName) {
  using namespace testing::ntfs;
  struct Case {
    const char* what;
    VolumeBuilder volume;
    std::size_t names;  // the names the image holds, the root included
  };
  std::vector<Case> cases(6);
  cases[0].what = "an attribute length wrapping the walk back";
  cases[0].volume.Add(16, WrappingRecord(5, 5, u"loops"));
  cases[0].names = 2;
  cases[1].what = "an object-ID index whose first entry wraps";
  AddObjectIdIndex(cases[1].volume,
                   ObjectIdIndexRoot("0123456789abcdef", std::string(48, 'B'), 0xFFFFFFF0));
  cases[1].names = 1;
  cases[2].what = "MFT run offsets whose sum overflows";
  cases[2].volume.SetMftRuns(
      std::string("\x81\x01\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x7F"
                  "\x81\x01\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x7F",
                  20));
  cases[2].names = 1;
  cases[3].what = "an MFT claiming 256 GiB";
  Put(cases[3].volume.bytes(), 0x28, 1ull << 30, 8);
  cases[3].volume.SetMftRuns(std::string("\x11\x10\x04\x04\x00\x00\x00\x04", 8),
                             (16 + (1ull << 26)) * kCluster);
  cases[3].names = 1;
  cases[4].what = "a chain of 40 folders with two names each";
  for (std::uint64_t i = 0; i < 40; ++i) {
    std::uint64_t parent = i == 0 ? 5 : 15 + i;
    std::uint16_t sequence = i == 0 ? 5 : 1;
    cases[4].volume.Add(16 + i, RecordBuilder(3, 1)
                                    .Resident(0x10, StandardInformation(1))
                                    .Resident(0x30, FileName(parent, sequence, u"x"))
                                    .Resident(0x30, FileName(parent, sequence, u"y"))
                                    .Close());
  }
  cases[4].names = 1 + 2 * 40;
  cases[5].what = "a cluster size of 2^95 sectors";
  cases[5].volume.bytes()[13] = static_cast<char>(0xA1);
  cases[5].names = 0;

  for (Case& c : cases) {
    std::string image = ::testing::TempDir() + "/qst_crafted_" + std::to_string(getpid());
    std::ofstream(image, std::ios::binary) << c.volume.bytes();
    std::string peak = image + ".peak";
    auto started = std::chrono::steady_clock::now();
    auto r = RunQst({"-d", image, "-e", "-u", "-r", "C:\\"},
                    "timeout 20 /usr/bin/time -f %M -o " + peak + " env");
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_TRUE(r.status == 0 || r.status == 1) << c.what << ": " << r.status;
    EXPECT_LE(testing::PathColumn(r.out).size(), c.names) << c.what << "\n" << r.out;
    // Two runs, under a sanitizer too.
    EXPECT_LT(seconds, 10.0) << c.what;
    EXPECT_LT(std::stoul("0" + testing::ReadFile(peak)), 300000u) << c.what;  // KiB
    unlink(image.c_str());
    unlink(peak.c_str());
  }
}

// Names that look like paths, dot entries, patterns or rows: each is listed
// as the name it is, in the folder that holds it, on one row.
TEST(CraftedImages, NamesNeverChangeWhereTheWalkGoesOrHowManyRowsTheyTake) {
  using namespace testing::ntfs;
  VolumeBuilder b;
  auto add = [&](std::uint64_t number, std::uint64_t parent, const std::u16string& name,
                 bool folder) {
    b.Add(number, RecordBuilder(folder ? 3 : 1, 1)
                      .Resident(0x10, StandardInformation(number))
                      .Resident(0x30, FileName(parent, parent == 5 ? 5 : 1, name))
                      .Close());
  };
  add(16, 5, u".", true);
  add(17, 5, u"..", true);
  add(18, 5, u"a", true);
  add(19, 18, u"b", true);
  add(20, 16, u"in-dot", false);
  add(21, 17, u"in-dotdot", false);
  add(22, 19, u"y", false);
  add(23, 5, u"a\\b", true);
  add(24, 23, u"x", false);
  add(25, 5, u"x.txt\nevil.exe |1 |2001", false);
  add(26, 5, u"*", true);
  add(27, 26, u"star", false);
  add(28, 5, u"q\"uote|bar", false);
  add(29, 5, u"a/b", true);
  add(30, 29, u"z", false);
  add(31, 5, u"<2F><U+202E>", false);
  std::string image = ::testing::TempDir() + "/qst_names_" + std::to_string(getpid());
  std::ofstream(image, std::ios::binary) << b.bytes();
  auto r = RunQst({"-d", image, "-e", "-u", "-r", "C:\\"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testing::PathColumn(r.out),
            (std::vector<std::string>{
                "C:\\", "C:\\*\\", "C:\\*\\star", "C:\\.\\", "C:\\.\\in-dot", "C:\\..\\",
                "C:\\..\\in-dotdot", "C:\\<3C>2F><3C>U+202E>", "C:\\a\\", "C:\\a\\b\\",
                "C:\\a\\b\\y", "C:\\a<2F>b\\", "C:\\a<2F>b\\z", "C:\\a\\b\\", "C:\\a\\b\\x",
                "C:\\q\"uote<7C>bar", "C:\\x.txt<0A>evil.exe <7C>1 <7C>2001"}));
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 18) << r.out;
  // What is listed leads back to the same record, given as an operand or in
  // a list, whatever the name holds (but a '\\', which no text can tell from
  // the separator).
  const std::vector<std::string> back = {"C:\\<3C>2F><3C>U+202E>", "C:\\a<2F>b\\", "C:\\a<2F>b\\z",
                                         "C:\\x.txt<0A>evil.exe <7C>1 <7C>2001"};
  std::ofstream(image + ".back") << back[0] << "\n"
                                 << back[1] << "\n"
                                 << back[2] << "\n"
                                 << back[3] << "\n";
  for (const auto& given : {RunQst({"-d", image, "-e", back[0], back[1], back[2], back[3]}),
                            RunQst({"-d", image, "-e", "-l", image + ".back"})}) {
    EXPECT_EQ(given.status, 0) << given.err;
    for (const char* row :
         {"\nC:\\<3C>2F><3C>U+202E> |31 |", "\nC:\\a<2F>b\\ |29 |", "\nC:\\a<2F>b\\z |30 |",
          "\nC:\\x.txt<0A>evil.exe <7C>1 <7C>2001 |25 |"})
      EXPECT_NE(given.out.find(row), std::string::npos) << row << "\n" << given.out << given.err;
  }
  unlink((image + ".back").c_str());
  // Nor how many fields: the name's separators are shown, not obeyed.
  EXPECT_NE(r.out.find("\nC:\\x.txt<0A>evil.exe <7C>1 <7C>2001 |25 |"), std::string::npos);
  // A path's text leads through the folders its names give.
  auto y = RunQst({"-d", image, "-e", "C:\\a\\b\\y", "C:\\x.txt<0A>evil.exe |1 |2001"});
  EXPECT_NE(y.out.find("\nC:\\a\\b\\y |22 |"), std::string::npos) << y.out << y.err;
  EXPECT_NE(y.out.find("\nC:\\x.txt<0A>evil.exe <7C>1 <7C>2001 |25 |"), std::string::npos);
  // A plain path is NTFS names, whatever they hold; "/" separates as "\\".
  auto plain = RunQst({"-d", image, "-e", "C:\\q\"uote|bar", "C:/a/b/y"});
  EXPECT_EQ(testing::PathColumn(plain.out),
            (std::vector<std::string>{"C:\\q\"uote<7C>bar", "C:\\a\\b\\y"}));
  std::ofstream(image + ".list") << "C:\\*\\star\nC:/*/star\n";
  auto listed = RunQst({"-d", image, "-e", "-l", image + ".list"});
  EXPECT_EQ(testing::PathColumn(listed.out),
            (std::vector<std::string>{"C:\\*\\star", "C:\\*\\star"}));
  unlink((image + ".list").c_str());
  unlink(image.c_str());
}

// The volume the MFT fuzz target makes of its input (a fixed boot sector:
// 4 KiB clusters, 1 KiB records, the input as the MFT at cluster 4), with
// the boot sector's signature and room enough for fls to read it.
std::string VolumeAroundMft(const std::string& mft) {
  std::string volume(4 * 4096, '\0');
  volume.replace(3, 8, "NTFS    ");
  testing::ntfs::Put(volume, 11, 512, 2);
  volume[13] = 8;
  testing::ntfs::Put(volume, 0x30, 4, 8);
  testing::ntfs::Put(volume, 0x38, 2, 8);
  volume[0x40] = static_cast<char>(-10);
  volume[0x44] = 1;
  testing::ntfs::Put(volume, 510, 0xAA55, 2);
  volume += mft;
  volume.resize(std::max<std::size_t>(volume.size(), 4u << 20));
  testing::ntfs::Put(volume, 0x28, volume.size() / 512 - 1, 8);
  return volume;
}

// The rows of a row-layout output by path, error lines (which hold no
// record number) among them.
std::map<std::string, std::string> RowsByPath(const std::string& out) {
  std::map<std::string, std::string> rows;
  std::istringstream lines(out);
  std::string line;
  std::getline(lines, line);  // the header
  while (std::getline(lines, line)) {
    std::size_t end = std::min(line.find(" |"), line.find(", CODE="));
    if (end != std::string::npos) rows[line.substr(0, end)] = line;
  }
  return rows;
}

// Whether the summary line in `err` names `record` among those unreadable.
bool Unreadable(const std::string& err, std::uint64_t record) {
  std::size_t at = err.find(" unreadable (");
  if (at == std::string::npos) return false;
  std::istringstream list(err.substr(at + 13, err.find(')', at) - at - 13));
  for (std::string range; std::getline(list, range, ',');) {
    if (range.find("...") != std::string::npos) return true;
    std::size_t dash = range.find('-');
    std::uint64_t first = std::stoull(range), last = first;
    if (dash != std::string::npos) last = std::stoull(range.substr(dash + 1));
    if (record >= first && record <= last) return true;
  }
  return false;
}

// Over the fuzz targets' seeds (and, with QST_MFT_CORPUS, a corpus grown
// by the MFT target): every live name fls lists, qst -a lists (as the same
// record), and every path of a whole walk, looked up alone (record by
// record through the indexes), gives the same row.
TEST(FuzzCorpus, EveryNameFlsListsIsListedAndEachPathIsFoundAlone) {
  if (std::system("command -v fls >/dev/null") != 0) QST_SKIP() << "needs fls";
  const std::string corpus = std::string(QST_SOURCE_DIR) + "/tests/fuzz/corpus/";
  std::vector<std::pair<std::string, std::string>> volumes;  // seed, bytes
  auto add = [&](const std::string& folder, bool mft) {
    std::istringstream seeds(testing::Capture("ls " + folder));
    for (std::string seed; std::getline(seeds, seed);) {
      std::string bytes = testing::ReadFile(folder + "/" + seed);
      if (!mft && bytes.size() < (4u << 20)) bytes.resize(4u << 20);  // as far as it claims
      volumes.emplace_back(seed, mft ? VolumeAroundMft(bytes) : bytes);
    }
  };
  add(corpus + "fuzz_ntfs_volume", false);
  add(corpus + "fuzz_mft", true);
  if (const char* grown = std::getenv("QST_MFT_CORPUS")) add(grown, true);
  ASSERT_GE(volumes.size(), 10u);
  int names = 0, alone = 0;
  std::string image = ::testing::TempDir() + "/qst_seed_" + std::to_string(getpid());
  for (const auto& [seed, bytes] : volumes) {
    std::ofstream(image, std::ios::binary) << bytes;
    auto all = RunQst({"-d", image, "-a", "-e", "-u", "-r", "C:\\"});
    // (record, last name) of each row; a record that cannot be read shows
    // its name in an error line, without its number.
    std::set<std::pair<std::string, std::string>> listed;
    std::set<std::string> records;
    for (const auto& [path, row] : RowsByPath(all.out)) {
      std::string name = path.substr(path.find_last_of('\\', path.size() - 2) + 1);
      if (name.size() > 1 && name.back() == '\\') name.pop_back();
      std::size_t id = row.find(" |") + 2;
      std::string record =
          id == std::string::npos + 2 ? "?" : row.substr(id, row.find(" |", id) - id);
      listed.emplace(record, name);
      records.insert(record);
    }
    // "r/r 66-128-2:\tdir/a.txt"; "r/- 66:" where fls could not read the
    // record; "r/r * 70..." deleted.
    std::istringstream fls(testing::Capture("fls -r -p " + image + " 2>/dev/null"));
    for (std::string line; std::getline(fls, line);) {
      std::size_t tab = line.find('\t');
      if (tab == std::string::npos || line.find(" * ") < tab) continue;
      std::string record = line.substr(4, line.find_first_not_of("0123456789", 4) - 4);
      std::string path = line.substr(tab + 1);
      std::string name = path.substr(path.find_last_of('/') + 1);
      // An entry whose name has no characters names nothing.
      if (record.empty() || std::stoull(record) < 16 || path[0] == '$' || name.empty() ||
          path.find("$OrphanFiles") != std::string::npos)
        continue;
      // An index entry whose name differs from its intact record's gives
      // way to the record's own name; a name fls takes from a record qst
      // could not read (a fixup that fails) is not held by a readable one.
      EXPECT_TRUE(listed.count({record, name}) || listed.count({"?", name}) ||
                  (records.count(record) && line[2] != '-') ||
                  (line[0] == '-' && Unreadable(all.err, std::stoull(record))))
          << seed << ": " << line << "\n"
          << all.out;
      ++names;
    }
    // The same paths looked up alone, and among more than a few (when the
    // whole volume is read first).
    std::vector<std::string> paths;
    for (const auto& [path, row] : RowsByPath(RunQst({"-d", image, "-e", "-u", "-r", "C:\\"}).out))
      if (path.find_first_of("<>*?\"|") == std::string::npos && paths.size() < 16)
        paths.push_back(path);
    std::vector<std::string> args = {"-d", image, "-e", "-u"};
    args.insert(args.end(), paths.begin(), paths.end());
    auto found = RowsByPath(RunQst(args).out);
    args.insert(args.end(), paths.begin(), paths.end());
    args.insert(args.end(), paths.begin(), paths.end());
    auto whole = RowsByPath(RunQst(args).out);
    for (const std::string& path : paths) EXPECT_EQ(found[path], whole[path]) << seed;
    alone += paths.size();
  }
  unlink(image.c_str());
  std::cout << volumes.size() << " volumes: " << names << " names fls lists, " << alone
            << " paths looked up alone\n";
  EXPECT_GT(names, 0);
}

}  // namespace
}  // namespace qst
