// qst -d on NTFS images made at test time with mkntfs and filled through an
// ntfs-3g mount: the records must equal those qst prints over a read-only
// mount of the same volume. Needs root, /dev/fuse, mkntfs, ntfs-3g and
// sfdisk; skipped where one is missing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "ntfs_builder.h"
#include "ntfs_image.h"
#include "probe/image/raw-reader.h"
#include "probe/image/volume-platform.h"
#include "probe/le.h"
#include "probe/memory-reader.h"
#include "probe/partitions.h"
#include "run_binary.h"
#include "scratch_ntfs.h"
#include "test_env.h"

namespace qst {
namespace {

using testing::ReadFile;
using testing::RunQst;
using testing::SortedLines;

using testing::InWindowsForm;
using testing::MftOffset;
using testing::NtfsImage;
using testing::Shell;

TEST_F(NtfsImage, WholeVolumeEqualsTheMountedVolume) {
  auto r = RunQst({"-d", image_, "-u", "-e", "-r", "C:\\"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(SortedLines(r.out), SortedLines(reference_));
  EXPECT_GT(r.out.size(), 3000u * 100);
  // Small folders come in the same order both ways.
  EXPECT_EQ(RowsOf(r.out, "C:\\top\\"), RowsOf(reference_, "C:\\top\\"));
}

// A shadow copy in which a file is deleted, its record since taken by
// another file: NTFS raised the record's sequence number as it freed it, so
// both share record and sequence, and only their states tell them apart.
TEST(ShadowCopyJoin, ADeletedFileIsNotTheOneThatTookItsRecord) {
  using namespace testing::ntfs;
  VolumeBuilder now;
  now.Add(40, RecordBuilder(1, 2)
                  .Resident(0x10, StandardInformation(133000000000000000))
                  .Resident(0x30, FileName(5, 5, u"new.txt"))
                  .Close());
  VolumeBuilder then;
  then.Add(40, RecordBuilder(0, 2)
                   .Resident(0x10, StandardInformation(134000000000000000))
                   .Resident(0x30, FileName(5, 5, u"old.txt"))
                   .Close());
  const std::string now_bytes = now.bytes(), then_bytes = then.bytes();
  auto open = [](const std::string& bytes, std::unique_ptr<VolumeReader>* reader,
                 std::unique_ptr<NtfsVolume>* volume) {
    *reader = std::make_unique<MemoryVolumeReader>(bytes);
    NtfsReadOptions options;
    options.deleted = true;
    std::string error;
    return NtfsVolume::Open(**reader, options, volume, &error);
  };
  SnapshotSource stores;
  stores.stores.emplace_back();
  Snapshot& store = stores.stores.back();
  store.store = 1;
  ASSERT_TRUE(open(then_bytes, &store.reader, &store.volume));
  std::unique_ptr<VolumeReader> reader;
  std::unique_ptr<NtfsVolume> volume;
  ASSERT_TRUE(open(now_bytes, &reader, &volume));
  testing::FakePlatform host;
  std::unique_ptr<Platform> platform = MakeVolumePlatform(
      std::move(reader), std::move(volume), host, [](int code) { return code; }, "IMG", {},
      std::move(stores));
  RawFileInfo current;
  ASSERT_EQ(platform->Probe("C:\\new.txt", &current), 0);
  std::vector<RawFileInfo> states;
  platform->VolumeEvidence()->ProbeSnapshots("C:\\new.txt", nullptr, &current, &states);
  for (const RawFileInfo& state : states) EXPECT_FALSE(state.same_file) << state.basic.CreationTime;
}

TEST(RawImageFile, ShowsInPlaceWhatItReadsAndNothingBeyondItsEnd) {
  std::string path = ::testing::TempDir() + "/raw-reader.bin";
  std::string bytes(3 * 4096 + 100, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  std::ofstream(path, std::ios::binary) << bytes;
  for (bool evicted : {false, true}) {
    if (evicted) {
      int fd = open(path.c_str(), O_RDONLY);
      ASSERT_GE(fd, 0);
      posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
      close(fd);
    }
    std::unique_ptr<qst::VolumeReader> reader;
    ASSERT_EQ(qst::OpenRawFile(path, 7, &reader), 0);
    const std::uint64_t size = bytes.size() - 7;
    EXPECT_EQ(reader->Size(), size);
    struct Window {
      std::uint64_t offset, size;
    };
    for (Window w : {Window{0, 10}, Window{4090, 20}, Window{0, size}, Window{size - 5, 5}}) {
      std::string read(w.size, '\0');
      ASSERT_TRUE(reader->ReadAll(w.offset, read.data(), w.size)) << w.offset;
      EXPECT_EQ(read, bytes.substr(7 + w.offset, w.size));
      // Out of the page cache a window may not be shown; what is shown is
      // what was read.
      const std::uint8_t* view = reader->View(w.offset, w.size);
      if (!evicted) {
        ASSERT_NE(view, nullptr) << w.offset;
      }
      if (view != nullptr) {
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(view), w.size), read);
        reader->Unview(view, w.size);
      }
    }
    char byte;
    EXPECT_EQ(reader->Read(size, &byte, 1), qst::ReadStatus::kPastEnd);
    EXPECT_EQ(reader->Read(~0ull, &byte, 1), qst::ReadStatus::kPastEnd);
    EXPECT_EQ(reader->View(size - 5, 6), nullptr);
    EXPECT_EQ(reader->View(~0ull - 1, 4), nullptr);
  }
  std::unique_ptr<qst::VolumeReader> none;
  EXPECT_EQ(qst::OpenRawFile(path + ".none", 0, &none), ENOENT);
  EXPECT_EQ(none, nullptr);
}

// The partition tables of images made with sfdisk, as The Sleuth Kit's mmls
// lists them: every partition that holds data, with its start, length and
// description.
TEST(PartitionTable, ReadsWhatMmlsLists) {
  if (std::system("command -v sfdisk >/dev/null && command -v mmls >/dev/null") != 0)
    QST_SKIP() << "needs sfdisk and mmls";
  std::string path = ::testing::TempDir() + "/qst_partitions.img";
  const std::pair<const char*, const char*> tables[] = {
      {"dos", "2048,2048,7\n4096,,E\n,1024,7\n,1024,83\n,,7\n"},
      {"dos", "2048,4096,7\n6144,4096,b\n10240,2048,83\n12288,,7\n"},
      {"dos", "2048,2048,c\n4096,,f\n,2048,7\n,,7\n"},
      {"gpt",
       "2048,2048,EBD0A0A2-B9E5-4433-87C0-68B9B7A3EAC7\n"
       "6144,4096,0FC63DAF-8483-4772-8E79-3D69E4C7D478\n"
       "12288,,EBD0A0A2-B9E5-4433-87C0-68B9B7A3EAC7\n"},
  };
  for (const auto& [label, script] : tables) {
    ASSERT_EQ(
        Shell("rm -f " + path + " && truncate -s 8M " + path + " && printf 'label: " + label +
              "\\n" + script + "' | sfdisk -q " + path + " && { [ " + label +
              " != gpt ] || sfdisk -q --part-label " + path + " 1 'Basic data' >/dev/null; }"),
        0);
    // mmls: "002:  000:000   0000002048   0000004095   0000002048   NTFS / exFAT (0x07)";
    // table and unallocated rows have "Meta" or "-------" for a slot.
    std::string listed = ::testing::TempDir() + "/qst_mmls.txt";
    ASSERT_EQ(Shell("mmls " + path +
                    " | awk '$2 ~ /^[0-9]/ { d = \"\"; "
                    "for (i = 6; i <= NF; ++i) d = d (i > 6 ? \" \" : \"\") $i; "
                    "printf \"%d %d %s\\n\", $3, $5, d }' >" +
                    listed),
              0);
    std::unique_ptr<qst::VolumeReader> disk;
    ASSERT_EQ(qst::OpenRawFile(path, 0, &disk), 0);
    std::vector<qst::Partition> partitions;
    qst::PartitionScheme scheme = qst::ReadPartitionTable(*disk, &partitions);
    EXPECT_EQ(scheme, std::string(label) == "gpt" ? qst::PartitionScheme::kGpt
                                                  : qst::PartitionScheme::kMbr);
    std::string ours;
    for (const qst::Partition& p : partitions)
      ours += std::to_string(p.start) + " " + std::to_string(p.length) + " " + p.description + "\n";
    std::string theirs = testing::ReadFile(listed);
    EXPECT_GT(theirs.size(), 10u);
    EXPECT_EQ(SortedLines(ours), SortedLines(theirs)) << label << ": " << script;
  }
}

TEST_F(NtfsImage, FoldersListInUpperCaseCollationOrder) {
  auto r = RunQst({"-d", image_, "-u", "-e", "C:\\big\\*"});
  std::vector<std::string> names = testing::PathColumn(r.out);
  ASSERT_EQ(names.size(), 3000u);
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
  EXPECT_EQ(names[0], "C:\\big\\e0");
  EXPECT_EQ(names[1], "C:\\big\\e1");
  EXPECT_EQ(names[2], "C:\\big\\e10");
}

TEST_F(NtfsImage, PathsAreFoundAsWindowsFindsThem) {
  auto r = RunQst({"-d", image_, "-u", "-e", "C:\\TOP\\A.TXT", "\\top\\sub\\", "top\\z.txt",
                   "C:\\$MFT", "C:\\top\\missing.txt", "C:\\nowhere\\x.txt", "C:\\top\\a.txt\\"});
  std::string a = RowsOf(reference_, "C:\\top\\a.txt |");
  ASSERT_FALSE(a.empty());
  EXPECT_NE(r.out.find("C:\\TOP\\A.TXT" + a.substr(a.find(" |"))), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\n\\top\\sub\\ |"), std::string::npos);
  EXPECT_NE(r.out.find("\ntop\\z.txt |"), std::string::npos);
  EXPECT_NE(r.out.find("\nC:\\$MFT |0 |"), std::string::npos);
  EXPECT_NE(
      r.out.find("\nC:\\top\\missing.txt, CODE=2:The system cannot find the file specified.\n\n"),
      std::string::npos);
  EXPECT_NE(
      r.out.find("\nC:\\nowhere\\x.txt, CODE=3:The system cannot find the path specified.\n\n"),
      std::string::npos);
  EXPECT_NE(r.out.find("\nC:\\top\\a.txt\\, CODE=123:"), std::string::npos);
  // ".." steps back by the path's text; "" names nothing.
  r = RunQst(
      {"-d", image_, "-u", "-e", "C:\\top\\sub\\..\\..\\..\\memo.txt", "C:\\.\\top\\.\\a.txt", ""});
  std::string memo = RowsOf(reference_, "C:\\memo.txt |");
  EXPECT_NE(r.out.find("C:\\top\\sub\\..\\..\\..\\memo.txt" + memo.substr(memo.find(" |"))),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("C:\\.\\top\\.\\a.txt" + a.substr(a.find(" |"))), std::string::npos);
  EXPECT_NE(r.out.find("\n, CODE=3:The system cannot find the path specified.\n\n"),
            std::string::npos);
}

TEST_F(NtfsImage, ListFilesOnThisMachineNamePathsInTheImage) {
  std::string list = dir_ + "/list.txt";
  std::ofstream(list) << "C:\\top\\a.txt\r\nC:\\top\\*.txt\r\n\\memo.txt\r\n";
  auto r = RunQst({"-d", image_, "-u", "-e", "-l", list});
  // a.txt's object ID has no birth IDs: their time is reported as unknown.
  EXPECT_EQ(r.out, RowsOf(reference_, "FILENAME") + "Unknown Error\n" +
                       RowsOf(reference_, "C:\\top\\a.txt |") +
                       "\nC:\\top\\*.txt, CODE=2:The system cannot find the file specified.\n\n\\" +
                       RowsOf(reference_, "C:\\memo.txt |").substr(3));
  r = RunQst({"-d", image_, "-l", dir_ + "/no-list.txt"});
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(
      r.out.rfind(
          "\n" + dir_ + "/no-list.txt, CODE=2:The system cannot find the file specified.\n\n", 0),
      0u);
}

TEST_F(NtfsImage, ShortNamesOpenFilesButAreNotListed) {
  auto r = RunQst({"-d", image_, "-u", "-e", "C:\\top\\*", "C:\\top\\longfi~1.txt"});
  std::string row = RowsOf(reference_, "C:\\top\\Long File Name.txt |");
  ASSERT_FALSE(row.empty());
  EXPECT_EQ(r.out.find("LONGFI~1"), std::string::npos);
  EXPECT_NE(r.out.find(row), std::string::npos);
  EXPECT_NE(r.out.find("C:\\top\\longfi~1.txt" + row.substr(row.find(" |"))), std::string::npos)
      << r.out;
}

TEST_F(NtfsImage, WildcardsMatchWithoutRegardToCase) {
  auto r = RunQst({"-d", image_, "-u", "-e", "C:\\top\\*.TXT", "C:\\*", "C:\\top\\*.*", "me*"});
  std::string txt = RowsOf(reference_, "C:\\top\\a.txt |") + RowsOf(reference_, "C:\\top\\B.txt |");
  EXPECT_NE(r.out.find(txt), std::string::npos) << r.out;
  // The root lists no system files, and no "." or "..".
  EXPECT_EQ(r.out.find("C:\\$MFT"), std::string::npos);
  EXPECT_EQ(r.out.find("C:\\.\\"), std::string::npos);
  EXPECT_NE(r.out.find("\nC:\\top\\ |"), std::string::npos);
  EXPECT_NE(r.out.find("\nC:\\top\\_under |"), std::string::npos);
  // Without a folder part, the root's names come bare.
  EXPECT_NE(r.out.find("\nmemo.txt |"), std::string::npos) << r.out;
}

TEST_F(NtfsImage, PartitionedImagesAreFoundOrListed) {
  std::string one = dir_ + "/one.img", two = dir_ + "/two.img";
  ASSERT_EQ(Shell("truncate -s 80M " + one +
                  " && echo 'start=2048, size=131072, type=7' | "
                  "sfdisk -q " +
                  one + " && dd if=" + image_ + " of=" + one +
                  " bs=512 seek=2048 conv=notrunc status=none"),
            0);
  std::string whole = RunQst({"-d", image_, "-u", "-e", "-r", "C:\\"}).out;
  auto r = RunQst({"-d", one, "-u", "-e", "-r", "C:\\"});
  EXPECT_EQ(r.out, whole);
  r = RunQst({"-d", one, "-o", "2048", "-u", "-e", "-r", "C:\\"});
  EXPECT_EQ(r.out, whole);

  ASSERT_EQ(Shell("truncate -s 150M " + two +
                  " && printf 'start=2048, size=131072, type=7\\n"
                  "start=133120, size=131072, type=7\\n' | sfdisk -q " +
                  two + " && dd if=" + image_ + " of=" + two +
                  " bs=512 seek=2048 conv=notrunc status=none && dd if=" + image_ + " of=" + two +
                  " bs=512 seek=133120 conv=notrunc status=none"),
            0);
  r = RunQst({"-d", two, "-e", "C:\\"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "qst: " + two +
                       " holds 2 NTFS volumes; choose one with -o SECTOR:\n"
                       "   start     length  description\n"
                       "    2048     131072  NTFS / exFAT (0x07)\n"
                       "  133120     131072  NTFS / exFAT (0x07)\n");
  r = RunQst({"-d", two, "-o", "133120", "-u", "-e", "-r", "C:\\"});
  EXPECT_EQ(r.out, whole);
  // An NTFS and a FAT volume: the NTFS one is read, and the other said.
  if (Shell("command -v mkfs.vfat >/dev/null") != 0) return;
  const std::string mixed = dir_ + "/mixed.img";
  ASSERT_EQ(Shell("cp " + two + " " + mixed + " && mkfs.vfat --offset=133120 " + mixed +
                  " 65536 >/dev/null 2>&1"),
            0);
  r = RunQst({"-d", mixed, "-u", "-e", "-r", "C:\\"});
  EXPECT_EQ(r.out, whole);
  EXPECT_EQ(r.err, "qst: " + mixed +
                       ": the volume at sector 2048 is read; the image also holds a FAT or exFAT "
                       "volume at sector 133120 (-o 133120 reads it)\n");
}

TEST_F(NtfsImage, ContainersGiveTheSameRecords) {
  std::string whole = RunQst({"-d", image_, "-u", "-e", "-r", "C:\\"}).out;
  // Split raw, in pieces of 16 MiB named .001, .002, ...
  ASSERT_EQ(Shell("split -b 16M --numeric-suffixes=1 -a 3 " + image_ + " " + dir_ + "/split.img."),
            0);
  EXPECT_EQ(RunQst({"-d", dir_ + "/split.img.001", "-u", "-e", "-r", "C:\\"}).out, whole);
  if (Shell("command -v qemu-img >/dev/null") == 0) {
    for (const char* format : {"vmdk", "vpc"}) {
      std::string converted = dir_ + "/converted." + format;
      ASSERT_EQ(
          Shell(std::string("qemu-img convert -O ") + format + " " + image_ + " " + converted), 0);
      EXPECT_EQ(RunQst({"-d", converted, "-u", "-e", "-r", "C:\\"}).out, whole) << format;
    }
  }
  if (Shell("command -v ewfacquire >/dev/null") != 0) QST_SKIP() << "no ewfacquire";
  ASSERT_EQ(Shell("ewfacquire -u -q -t " + dir_ + "/evidence -c none -f encase6 " + image_ +
                  " >/dev/null 2>&1"),
            0);
  EXPECT_EQ(RunQst({"-d", dir_ + "/evidence.E01", "-u", "-e", "-r", "C:\\"}).out, whole);
}

// Makes a 32 MiB volume whose MFT had to grow into holes: the volume is
// filled with pieces of `piece_kib`, every other piece is freed, and empty
// files are added until `files` exist or the volume is full. Returns what qst
// prints over a read-only mount of it, in Windows form; `ntfsinfo_0` gets
// ntfsinfo's account of record 0.
std::string MakeFragmentedVolume(const std::string& image, const std::string& mount, int piece_kib,
                                 int files, std::string* ntfsinfo_0) {
  mkdir(mount.c_str(), 0755);
  if (Shell("truncate -s 32M " + image + " && mkntfs -F -f -q " + image +
            " >/dev/null 2>&1 && ntfs-3g " + image + " " + mount) != 0)
    return "";
  Shell("i=0; while dd if=/dev/zero of=" + mount + "/fill$i bs=" + std::to_string(piece_kib) +
        "K count=1 status=none 2>/dev/null; do i=$((i+1)); done; rm -f " + mount + "/fill*[02468]");
  for (int i = 0; i < files; ++i) {
    std::ofstream file(mount + "/f" + std::to_string(i));
    if (!file) break;
  }
  Shell("umount " + mount);
  Shell("ntfsinfo -v -i 0 " + image + " > " + image + ".info 2>/dev/null");
  *ntfsinfo_0 = ReadFile(image + ".info");
  Shell("ntfs-3g -o ro " + image + " " + mount);
  std::string mounted = RunQst({"-u", "-e", "-r", mount}).out;
  Shell("umount " + mount);
  return InWindowsForm(mounted, mount);
}

TEST_F(NtfsImage, FragmentedMftIsReadWhole) {
  std::string image = dir_ + "/fragmented.img", info;
  std::string mounted = MakeFragmentedVolume(image, dir_ + "/fragmented", 512, 6000, &info);
  // More than one run in the MFT's $DATA.
  std::size_t data = info.find("Dumping attribute $DATA");
  ASSERT_NE(data, std::string::npos);
  std::string runs = info.substr(data, info.find("Dumping attribute", data + 1) - data);
  std::size_t run_lines = 0;
  for (std::size_t at = runs.find("\n\t\t\t0x"); at != std::string::npos;
       at = runs.find("\n\t\t\t0x", at + 1))
    ++run_lines;
  ASSERT_GT(run_lines, 1u) << runs;

  auto r = RunQst({"-d", image, "-u", "-e", "-r", "C:\\"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(SortedLines(r.out), SortedLines(mounted));
  EXPECT_NE(r.out.find("\nC:\\f5999 |"), std::string::npos);
}

TEST_F(NtfsImage, MftContinuedInExtensionRecordsIsReadWhole) {
  // Holes of one cluster: the MFT's run list outgrows record 0 and goes on
  // in extension records that its attribute list names.
  std::string image = dir_ + "/scattered.img", info;
  std::string mounted = MakeFragmentedVolume(image, dir_ + "/scattered", 4, 20000, &info);
  ASSERT_NE(info.find("Dumping attribute $ATTRIBUTE_LIST (0x20) from mft record 0"),
            std::string::npos)
      << "the MFT kept its run list in record 0";
  auto r = RunQst({"-d", image, "-u", "-e", "-r", "C:\\"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(SortedLines(r.out), SortedLines(mounted));
  EXPECT_GT(SortedLines(r.out).size(), 10000u);
}

TEST_F(NtfsImage, AFewPathsAreFoundThroughTheIndexesAlike) {
  // Up to 16 plain paths are found through their folders' indexes, reading
  // only the records they lead to; with more, the whole MFT is read. Both
  // give the same records and the same errors.
  std::vector<std::string> paths;
  for (const std::string& path : testing::PathColumn(reference_))
    if (path.rfind("C:\\big\\", 0) != 0 || path.back() == '7') paths.push_back(path);
  for (const char* odd : {"C:\\nope", "C:\\nope\\x.txt", "C:\\top\\sub\\..\\a.txt", "\\TOP\\a.TXT",
                          "C:\\top\\longfi~1.txt", "C:\\top\\a.txt\\", "C:\\$MFT",
                          "C:\\names\\another-rather-long-name-of-the-same-file-7"})
    paths.push_back(odd);
  ASSERT_GT(paths.size(), 300u);
  const std::vector<std::string> many(17, "C:\\nope");
  for (std::size_t at = 0; at < paths.size(); at += 16) {
    std::vector<std::string> few = {"-d", image_, "-e", "-u", "-n"};
    few.insert(few.end(), paths.begin() + at, paths.begin() + std::min(at + 16, paths.size()));
    std::vector<std::string> all = few;
    all.insert(all.end(), many.begin(), many.end());
    std::string whole = RunQst(all).out;
    std::string lazily = RunQst(few).out;
    // The 17 lines of the padding's errors end the whole read's output.
    ASSERT_EQ(lazily, whole.substr(0, lazily.size())) << paths[at];
    EXPECT_EQ(whole.size() - lazily.size(),
              17 * std::string("\nC:\\nope, CODE=2:The system cannot find the file specified.\n\n")
                       .size());
  }
}

TEST_F(NtfsImage, ThreadsChangeNothingInTheOutput) {
  // A volume read whole is read ahead and printed by several threads: the
  // rows, the messages and their order are those of one thread, damage and
  // failed paths included.
  std::string damaged = dir_ + "/threads.img";
  ASSERT_EQ(Shell("cp " + image_ + " " + damaged), 0);
  ASSERT_EQ(Shell("head -c 8192 /dev/urandom | dd of=" + damaged + " bs=1 seek=$((" +
                  std::to_string(MftOffset(image_)) + " + 70 * 1024)) conv=notrunc status=none"),
            0);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-d", image_, "-u", "-e", "-r", "C:\\"},
        {"-d", damaged, "-u", "-e", "-r", "C:\\"},
        {"-d", damaged, "--json", "-n", "-a", "-r", "C:\\"},
        {"-d", damaged, "--bodyfile", "-r", "C:\\"},
        {"-d", damaged, "-e", "C:\\big\\e1*", "C:\\top\\*", "C:\\missing\\*", "C:\\*"},
        {"-d", image_, "--csv", "-r", "C:\\names"},
        {"-d", damaged, "-I", "-a", "-n", "-e", "-u", "-r", "C:\\"}}) {
    auto one = args, two = args, eight = args;
    one.insert(one.begin(), {"-j", "1"});
    two.insert(two.begin(), "-j2");
    eight.insert(eight.begin(), "-j8");
    auto single = RunQst(one);
    EXPECT_GT(single.out.size(), 1000u);
    for (const auto& many : {args, two, eight}) {
      auto r = RunQst(many);
      EXPECT_EQ(r.both, single.both) << many[0];
      EXPECT_EQ(r.status, single.status);
    }
  }
}

TEST_F(NtfsImage, TimesAgreeWithTheSleuthKit) {
  if (Shell("command -v istat >/dev/null") != 0) QST_SKIP() << "no istat";
  auto r = RunQst({"-d", image_, "-u", "-i", "C:\\memo.txt"});
  std::size_t id_at = r.out.find("    ID: ");
  ASSERT_NE(id_at, std::string::npos);
  std::string id = r.out.substr(id_at + 8, r.out.find(' ', id_at + 8) - id_at - 8);
  std::string listing = dir_ + "/istat.txt";
  ASSERT_EQ(Shell("istat -z UTC " + image_ + " " + id + " > " + listing), 0);
  std::string istat = ReadFile(listing);
  // istat's first block of times is $STANDARD_INFORMATION's.
  std::string si = istat.substr(istat.find("$STANDARD_INFORMATION Attribute Values:"));
  for (const char* label : {"Created:", "File Modified:", "MFT Modified:", "Accessed:"}) {
    std::size_t at = si.find(label);
    ASSERT_NE(at, std::string::npos) << label;
    std::string when = si.substr(si.find_first_not_of("\t ", at + std::strlen(label)), 29);
    when[10] = 'T';
    EXPECT_NE(r.out.find(when + " (UTC)"), std::string::npos) << label << " " << when << "\n"
                                                              << r.out;
  }
}

TEST_F(NtfsImage, SizesAgreeWithTheSleuthKit) {
  // Each file's size in the body file, JSON and CSV is its data stream's,
  // as fls gives it: a stream kept in an extension record too (the file of
  // 41 names); folders have none ("null" in JSON, empty in CSV).
  if (Shell("command -v fls >/dev/null") != 0) QST_SKIP() << "no fls";
  std::map<std::string, std::string> expected;
  std::istringstream fls(testing::Capture("fls -r -m C: " + image_));
  for (std::string line; std::getline(fls, line);) {
    std::vector<std::string> f;
    for (std::size_t pos = 0;; pos = line.find('|', pos) + 1) {
      f.push_back(line.substr(pos, line.find('|', pos) - pos));
      if (line.find('|', pos) == std::string::npos) break;
    }
    // The file's unnamed data stream: type 128, no stream name after the path.
    if (f.size() < 7 || f[2].find("-128-") == std::string::npos ||
        f[1].find(':', 2) != std::string::npos)
      continue;
    expected[f[2].substr(0, f[2].find('-'))] = f[6];
  }
  ASSERT_GT(expected.size(), 3000u);
  auto body = RunQst({"-d", image_, "--bodyfile", "-r", "C:\\"});
  std::size_t files = 0;
  std::istringstream rows(body.out);
  for (std::string line; std::getline(rows, line);) {
    std::vector<std::string> f;
    for (std::size_t pos = 0;; pos = line.find('|', pos) + 1) {
      f.push_back(line.substr(pos, line.find('|', pos) - pos));
      if (line.find('|', pos) == std::string::npos) break;
    }
    if (f.size() != 11 || f[3][0] != 'r' || f[1].find(" ($") != std::string::npos) continue;
    ASSERT_EQ(expected.count(f[2]), 1u) << line;
    EXPECT_EQ(f[6], expected[f[2]]) << line;
    ++files;
  }
  EXPECT_GT(files, 3000u);
  auto many = RunQst({"-d", image_, "--json", "C:\\names\\many", "C:\\names\\"});
  EXPECT_NE(many.out.find("\"size\":4,"), std::string::npos) << many.out;
  EXPECT_EQ(testing::Count(many.out, "\"size\":"), 1u) << many.out;
  auto csv = RunQst({"-d", image_, "--csv", "C:\\names\\"});
  EXPECT_NE(csv.out.find("C:\\names\\,"), std::string::npos);
  EXPECT_NE(csv.out.find(",yes,,"), std::string::npos) << csv.out;
}

}  // namespace
}  // namespace qst
