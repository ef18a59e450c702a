// qst -d on images it cannot read whole or at all: images refused, images
// of other kinds, an E01 set missing a segment, damaged records, parent
// cycles and noise in the MFT, over the volume of ntfs_image.h.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "ntfs_image.h"
#include "probe/le.h"
#include "run_binary.h"
#include "scratch_ntfs.h"
#include "test_env.h"

namespace qst {
namespace {

using testing::MftOffset;
using testing::NtfsImage;
using testing::RunQst;
using testing::Shell;

TEST_F(NtfsImage, UnusableImagesAreRefusedWithOneLine) {
  auto r = RunQst({"-d", dir_ + "/none.img", "C:\\"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("qst: cannot open image " + dir_ + "/none.img: ", 0), 0u) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);

  r = RunQst({"-d", image_, "-o", "1", "C:\\"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "qst: " + image_ + " holds no usable NTFS volume at sector 1: no NTFS boot sector\n");

  // Cut before its MFT: nothing of the volume but its boot sector.
  std::string truncated = dir_ + "/truncated.img";
  ASSERT_EQ(Shell("head -c 8K " + image_ + " > " + truncated), 0);
  r = RunQst({"-d", truncated, "C:\\"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  // Where the image ends and what that costs, not a damaged record.
  EXPECT_EQ(r.err.rfind("qst: " + truncated +
                            " holds no usable NTFS volume at sector 0: the image ends at byte "
                            "8192, before the MFT (at byte ",
                        0),
            0u)
      << r.err;
  EXPECT_EQ(r.err.substr(r.err.size() - 19), "): it is cut short\n") << r.err;
  // An image its reader may not open: the system's reason, not its format.
  if (geteuid() == 0 && Shell("command -v setpriv >/dev/null") == 0) {
    const std::string locked = dir_ + "/locked.img";
    ASSERT_EQ(
        Shell("cp " + image_ + " " + locked + " && chmod 600 " + locked + " && chmod o+x " + dir_),
        0);
    r = RunQst({"-d", locked, "C:\\"}, "setpriv --reuid=65534 --regid=65534 --clear-groups env");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qst: cannot open image " + locked + ": Permission denied\n");
  }

  // Each in our own words, none in a library's.
  ASSERT_EQ(Shell("cd " + dir_ + " && split -b 4M -d -a 3 --numeric-suffixes=1 " + image_ +
                  " piece. && mkdir -p folder"),
            0);
  struct Case {
    std::string image, message;
  };
  std::vector<Case> cases = {
      {dir_ + "/none.img", "cannot open image " + dir_ + "/none.img: No such file or directory"},
      {dir_ + "/folder", "cannot open image " + dir_ + "/folder: it is a folder"},
      {dir_ + "/piece.002", "cannot open image " + dir_ +
                                "/piece.002: it is a later piece of a split image; name its first "
                                "piece, " +
                                dir_ + "/piece.001"}};
  if (Shell("command -v ewfacquire >/dev/null") == 0) {
    ASSERT_EQ(
        Shell("ewfacquire -u -q -t " + dir_ + "/whole -c none -f encase6 " + image_ +
              " >/dev/null 2>&1 && head -c 100000 " + dir_ + "/whole.E01 > " + dir_ + "/cut.E01"),
        0);
    cases.push_back({dir_ + "/cut.E01", dir_ +
                                            "/cut.E01 holds no usable NTFS volume at sector 0: no "
                                            "NTFS boot sector; the image gives only zeros there: "
                                            "it may be cut short or damaged"});
  }
  for (const Case& c : cases) {
    r = RunQst({"-d", c.image, "C:\\"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qst: " + c.message + "\n");
  }
  EXPECT_EQ(RunQst({"-d", dir_ + "/piece.001", "-e", "-u", "-r", "C:\\"}).out,
            RunQst({"-d", image_, "-e", "-u", "-r", "C:\\"}).out);
}

// Images of what -d does not read say what they hold and what to do, and
// never that a whole image is cut short.
TEST_F(NtfsImage, ImagesOfOtherKindsSayWhatTheyHold) {
  if (Shell("command -v mkfs.ext4 >/dev/null && command -v mkfs.ext2 >/dev/null") != 0)
    QST_SKIP() << "needs mkfs.ext4 and mkfs.ext2";
  const std::string ext4 = dir_ + "/ext4.img", ext2 = dir_ + "/ext2.img", gpt = dir_ + "/gpt.img",
                    marked = dir_ + "/marked.img", disk = dir_ + "/one-ntfs.img";
  ASSERT_EQ(
      Shell("truncate -s 16M " + ext4 + " " + ext2 + " && mkfs.ext4 -q -F " + ext4 +
            " && mkfs.ext2 -q -F " + ext2 + " && truncate -s 40M " + gpt +
            " && printf 'label: gpt\\n2048,20480,L\\n' | sfdisk -q " + gpt + " && dd if=" + ext4 +
            " of=" + gpt + " bs=512 seek=2048 conv=notrunc status=none && truncate -s 1M " +
            marked + " && truncate -s 80M " + disk +
            " && echo 'start=2048, size=131072, type=7' | sfdisk -q " + disk +
            " && dd if=" + image_ + " of=" + disk + " bs=512 seek=2048 conv=notrunc status=none"),
      0);
  // Marks at their places in an image of zeros: BitLocker's, an ISO
  // 9660 descriptor's, an LVM label's.
  auto marked_with = [&](const std::string& name, std::uint64_t at, const std::string& mark,
                         std::uint64_t at2 = 0, const std::string& mark2 = "") {
    const std::string path = dir_ + "/" + name;
    std::ofstream out(path, std::ios::binary);
    std::string bytes(1 << 20, '\0');
    bytes.replace(at, mark.size(), mark);
    if (!mark2.empty()) bytes.replace(at2, mark2.size(), mark2);
    out << bytes;
    return path;
  };
  const std::string bitlocker = marked_with("bitlocker.img", 3, "-FVE-FS-");
  const std::string iso = marked_with("cd.iso", 0x8001, "CD001");
  const std::string lvm = marked_with("lvm.img", 512, "LABELONE", 512 + 0x18, "LVM2 001");
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  std::vector<Case> cases = {
      {{"-d", ext4},
       "qst: " + ext4 +
           " holds no usable NTFS volume at sector 0: no NTFS boot "
           "sector; it holds an ext4 file system, which qst does not read\n"},
      {{"-d", gpt},
       "qst: " + gpt +
           " holds no NTFS, FAT or exFAT volume; its partitions:\n"
           "   start     length  description\n"
           "    2048      20480  an ext4 file system\n"},
      {{"-d", bitlocker},
       "qst: " + bitlocker +
           " holds no usable NTFS volume at sector 0: no NTFS boot sector; it "
           "holds a BitLocker volume (encrypted: decrypt it first and give qst "
           "the decrypted volume)\n"},
      {{"-d", iso},
       "qst: " + iso +
           " holds no usable NTFS volume at sector 0: no NTFS boot "
           "sector; it holds an ISO 9660 file system (a CD or DVD image), "
           "which qst does not read\n"},
      {{"-d", lvm},
       "qst: " + lvm +
           " holds no usable NTFS volume at sector 0: no NTFS boot "
           "sector; it holds an LVM physical volume (its logical volumes "
           "lie inside it: activate them and give qst the one that holds "
           "NTFS)\n"},
      {{"-d", disk, "-o", "100"},
       "qst: " + disk +
           " holds no usable NTFS volume at sector 100: no "
           "NTFS boot sector; its NTFS, FAT and exFAT "
           "volumes start at sector 2048 (NTFS / exFAT "
           "(0x07))\n"},
  };
  // In a container, the same: the ext2 volume's first sectors are zeros,
  // and the image is whole.
  if (Shell("command -v ewfacquire >/dev/null") == 0) {
    ASSERT_EQ(Shell("ewfacquire -u -q -t " + dir_ + "/ext2 -c none -f encase6 " + ext2 +
                    " >/dev/null 2>&1"),
              0);
    cases.push_back({{"-d", dir_ + "/ext2.E01"},
                     "qst: " + dir_ +
                         "/ext2.E01 holds no usable NTFS volume at sector 0: no NTFS "
                         "boot sector; it holds an ext2 file system, which qst does not read\n"});
  }
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back("C:\\");
    auto r = RunQst(args);
    EXPECT_EQ(r.status, 1) << args[1];
    EXPECT_EQ(r.out, "") << args[1];
    EXPECT_EQ(r.err, c.err);
  }
}

// An E01 set with a segment missing reads on, its sectors as zeros, and
// says which segment and sectors, with status 1.
TEST_F(NtfsImage, AnE01SetWithASegmentMissingSaysWhich) {
  if (Shell("command -v ewfacquire >/dev/null") != 0) QST_SKIP() << "no ewfacquire";
  const std::string set = dir_ + "/segments/set";
  ASSERT_EQ(Shell("mkdir -p " + dir_ + "/segments && ewfacquire -u -q -t " + set +
                  " -c none -f encase6 -S 2M " + image_ + " >/dev/null 2>&1"),
            0);
  auto whole = RunQst({"-d", set + ".E01", "-e", "-u", "-r", "C:\\"});
  EXPECT_EQ(whole.err.find("E01 set"), std::string::npos) << whole.err;
  ASSERT_EQ(Shell("test -e " + set + ".E05"), 0) << "too few segments";
  int last = 5;
  while (Shell("test -e " + set + ".E" + (last + 1 < 10 ? "0" : "") + std::to_string(last + 1)) ==
         0)
    ++last;
  const std::string last_name = set + ".E" + (last < 10 ? "0" : "") + std::to_string(last);
  const struct {
    std::string moved, says;
  } cases[] = {
      {set + ".E03", "the E01 set lacks " + set + ".E03: sectors "},
      {last_name, "the E01 set lacks the segments after " + set + ".E" +
                      (last - 1 < 10 ? "0" : "") + std::to_string(last - 1) + ": sectors "},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(Shell("mv " + c.moved + " " + c.moved + ".away"), 0);
    auto r = RunQst({"-d", set + ".E01", "-e", "-u", "-r", "C:\\"});
    EXPECT_EQ(r.status, 1) << c.moved;
    EXPECT_EQ(r.err.rfind("qst: " + set + ".E01: " + c.says, 0), 0u) << r.err;
    EXPECT_NE(r.err.find(" read as zeros\n"), std::string::npos) << r.err;
    ASSERT_EQ(Shell("mv " + c.moved + ".away " + c.moved), 0);
  }
}

TEST_F(NtfsImage, DamagedRecordsAreLeftOutNotFollowed) {
  // Garbage over a stretch of the MFT: the records there are dropped, the
  // rest of the volume is still reported, nothing crashes or loops.
  std::string damaged = dir_ + "/damaged.img";
  ASSERT_EQ(Shell("cp " + image_ + " " + damaged), 0);
  std::string mft_offset = std::to_string(MftOffset(image_));
  // Records 64 to 71 (the first user files) become noise.
  ASSERT_EQ(Shell("head -c 8192 /dev/urandom | dd of=" + damaged + " bs=1 seek=$((" + mft_offset +
                  " + 64 * 1024)) conv=notrunc status=none"),
            0);
  auto r = RunQst({"-d", damaged, "-u", "-e", "-r", "C:\\"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\nC:\\big\\e0 |"), std::string::npos);
  EXPECT_LT(r.out.size(), reference_.size());
}

TEST_F(NtfsImage, ParentCyclesEndTheTreeThere) {
  // loop's name is rewritten to have its own child as parent: loop and inner
  // then hang in a cycle that no path from the root reaches.
  auto ids = RunQst({"-d", image_, "-u", "-e", "C:\\loop", "C:\\loop\\inner"}).out;
  auto id_of = [&](const std::string& path) {
    std::size_t at = ids.find(path + " |");
    return std::stoull(ids.substr(at + path.size() + 2));
  };
  std::uint64_t loop = id_of("C:\\loop"), inner = id_of("C:\\loop\\inner");
  std::string cyclic = dir_ + "/cyclic.img";
  ASSERT_EQ(Shell("cp " + image_ + " " + cyclic), 0);
  {
    std::fstream io(cyclic, std::ios::in | std::ios::out | std::ios::binary);
    std::uint64_t base = MftOffset(image_) + loop * 1024;
    std::uint8_t record[512];
    io.seekg(static_cast<std::streamoff>(base));
    io.read(reinterpret_cast<char*>(record), sizeof record);
    std::uint16_t sequence = 0;
    {
      std::uint8_t header[18];
      io.seekg(static_cast<std::streamoff>(MftOffset(image_) + inner * 1024));
      io.read(reinterpret_cast<char*>(header), sizeof header);
      sequence = LoadLe16(header + 16);
    }
    // The $FILE_NAME attribute, within the record's first sector.
    std::size_t pos = LoadLe16(record + 20);
    while (pos + 24 < sizeof record && !(record[pos] == 0x30 && record[pos + 1] == 0)) {
      std::uint32_t length = LoadLe16(record + pos + 4);
      ASSERT_GT(length, 0u);
      pos += length;
    }
    ASSERT_LT(pos + 24, sizeof record);
    std::size_t value = pos + LoadLe16(record + pos + 20);
    std::uint64_t parent = inner | std::uint64_t{sequence} << 48;
    io.seekp(static_cast<std::streamoff>(base + value));
    for (int i = 0; i < 8; ++i) io.put(static_cast<char>(parent >> (8 * i)));
  }
  auto r = RunQst({"-d", cyclic, "-u", "-e", "-r", "C:\\"}, "timeout 60 env");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.find("C:\\loop"), std::string::npos);
  EXPECT_NE(r.out.find("\nC:\\memo.txt |"), std::string::npos);
  r = RunQst({"-d", cyclic, "-u", "-e", "C:\\loop\\inner\\deep.txt"});
  EXPECT_NE(r.out.find("CODE=3:"), std::string::npos) << r.out;
}

TEST_F(NtfsImage, NoiseInTheMftNeverCrashesOrHangs) {
  std::string noisy = dir_ + "/noisy.img";
  std::uint64_t mft = MftOffset(image_);
  std::uint64_t state = 0x5DEECE66Dull;
  auto next = [&] { return state = state * 6364136223846793005ull + 1442695040888963407ull; };
  for (int round = 0; round < 25; ++round) {
    ASSERT_EQ(Shell("cp " + image_ + " " + noisy), 0);
    {
      std::fstream io(noisy, std::ios::in | std::ios::out | std::ios::binary);
      for (int hit = 0; hit < 40; ++hit) {
        // Records 0 to 127, where the volume's own files and the tree live.
        std::uint64_t at = mft + next() % (128 * 1024);
        io.seekp(static_cast<std::streamoff>(at));
        char byte = static_cast<char>(next() >> 56);
        io.write(&byte, 1);
      }
    }
    auto r = RunQst({"-d", noisy, "-u", "-e", "-r", "C:\\"}, "timeout 60 env");
    EXPECT_TRUE(r.status == 0 || r.status == 1) << "round " << round << ": " << r.status;
  }
}

}  // namespace
}  // namespace qst
