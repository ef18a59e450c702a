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

#include "probe/fat/fat-boot.h"
#include "run_binary.h"
#include "test_env.h"

namespace qst {
namespace {

using testing::Capture;
using testing::RunQst;
using testing::ShellQuote;

int Shell(const std::string& command) { return std::system(command.c_str()); }

// Names of every class: long, 8.3 in either case, spaces and dots, accents,
// CJK; and files deleted, one with its folder.
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
    Shell("mkdir -p " + src + "/d/sub " + src + "/olddir");
    for (const std::string& name : kNames) std::ofstream(src + "/" + name) << name;
    std::ofstream(src + "/d/sub/deep.dat") << "deep";
    std::ofstream(src + "/gone.txt") << "gone";
    std::ofstream(src + "/A deleted long name.txt") << "gone too";
    std::ofstream(src + "/olddir/inner file.txt") << "inner";
    Shell("touch -d '2021-03-04 05:06:07.89' " + ShellQuote(src + "/a.txt"));
  }
  static void TearDownTestSuite() {
    Shell("rm -rf " + dir_);
    dir_.clear();
  }

  // A volume of the kind, with the files of `src`, gone.txt, the deleted
  // long name and olddir with its file deleted.
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
            "mdel -i " + v.image + " ::/gone.txt '::/A deleted long name.txt' && " +
            "MTOOLS_SKIP_CHECK=1 mdeltree -i " + v.image + " ::/olddir");
      return v;
    }
    if (geteuid() != 0 || Shell("(command -v mkfs.exfat && command -v mount.exfat-fuse && "
                                "command -v losetup) >/dev/null") != 0) {
      v.skip = "needs root, mkfs.exfat, exfat-fuse and losetup";
      return v;
    }
    const std::string mount = dir_ + "/mnt";
    const std::string make =
        "truncate -s 40M " + v.image + " && mkfs.exfat " + v.image + " >/dev/null && mkdir -p " +
        mount + " && dev=$(losetup -f --show " + v.image + ") && mount.exfat-fuse $dev " + mount +
        " >/dev/null 2>&1 && cp -rp " + src + "/. " + mount + "/ && cd " + mount +
        " && rm -r gone.txt 'A deleted long name.txt' olddir && cd / && umount " + mount +
        "; losetup -d $dev";
    if (Shell(make) != 0) v.skip = "the exFAT image could not be made";
    return v;
  }

  static inline std::string dir_;
  friend struct FatImagesAccess;
};

struct FatImagesAccess {
  static Volume Make(const std::string& kind) {
    if (FatImages::dir_.empty()) FatImages::SetUpTestSuite();
    return FatImages::Make(kind);
  }
  static void Remove() { FatImages::TearDownTestSuite(); }
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
      if (std::size_t d = path.find("\\ (deleted)"); d != std::string::npos) path.erase(d, 1);
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
  for (const auto& [inode, row] : fls)
    EXPECT_EQ(qst.count(inode) != 0 ? qst[inode] : std::vector<std::string>{}, row) << inode;
  for (const auto& [inode, row] : qst) EXPECT_EQ(fls.count(inode), 1u) << inode << " " << row[0];
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
  // A pattern matches a FAT file by its 8.3 name too; it is listed by its long one.
  if (v.kind != "exfat") {
    auto tilde = RunQst({"-d", v.image, "-e", "C:\\*~1.TXT"});
    EXPECT_NE(tilde.out.find("\nC:\\A Long File Name.txt |"), std::string::npos) << tilde.out;
    EXPECT_EQ(tilde.out.find("~1"), std::string::npos) << tilde.out;
  }
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
  // --fat-zone names the zone instead, whatever the run's.
  for (const char* zone : {"--fat-zone=+09:00", "--fat-zone=+0900"})
    EXPECT_EQ(RunQst({"-d", v.image, "-e", "-u", zone, "C:\\a.txt"}, "TZ=UTC").out, east.out);
  EXPECT_EQ(RunQst({"-d", v.image, "-e", "-u", "--fat-zone=UTC", "C:\\a.txt"}, "TZ=Asia/Tokyo").out,
            utc.out);
  for (const char* bad :
       {"--fat-zone=+14:01", "--fat-zone=9", "--fat-zone=+09:60", "--fat-zone="}) {
    auto refused = RunQst({"-d", v.image, bad, "C:\\a.txt"});
    EXPECT_EQ(refused.status, 254) << bad;
    EXPECT_NE(refused.err.find("qst: --fat-zone wants an offset from UTC"), std::string::npos)
        << bad << refused.err;
  }
  for (const char* option : {"-n", "-U", "-S", "-I", "-L"}) {
    auto refused = RunQst({"-d", v.image, option, "C:\\a.txt"});
    EXPECT_EQ(refused.status, 1) << option;
    EXPECT_NE(refused.err.find(std::string(": ") + option + " reads what only NTFS keeps\n"),
              std::string::npos)
        << refused.err;
    EXPECT_EQ(refused.out, "");
  }
}

// A FAT32 volume's bytes to patch: where its table and clusters lie, and
// the first cluster of a name in a folder's first cluster.
class Fat32Bytes {
 public:
  explicit Fat32Bytes(const std::string& image) : image_(image) {
    std::string boot = Read(0, 512);
    sector_ = Le(boot, 0x0B, 2);
    cluster_ = sector_ * Le(boot, 0x0D, 1);
    table_ = Le(boot, 0x0E, 2) * sector_;
    data_ = table_ + Le(boot, 0x10, 1) * Le(boot, 0x24, 4) * sector_;
    root_ = static_cast<std::uint32_t>(Le(boot, 0x2C, 4));
  }
  std::uint32_t root() const { return root_; }
  std::uint64_t ClusterAt(std::uint32_t c) const { return data_ + (c - 2ull) * cluster_; }
  // The entry of the 8.3 name `name11` in the folder at `cluster`: its offset.
  std::uint64_t EntryOf(std::uint32_t folder, const std::string& name11) {
    std::string bytes = Read(ClusterAt(folder), cluster_);
    for (std::size_t at = 0; at + 32 <= bytes.size(); at += 32)
      if (bytes.compare(at, 11, name11) == 0) return ClusterAt(folder) + at;
    ADD_FAILURE() << name11 << " not found";
    return 0;
  }
  std::uint32_t FirstCluster(std::uint64_t entry) {
    std::string e = Read(entry, 32);
    return static_cast<std::uint32_t>(Le(e, 0x14, 2) << 16 | Le(e, 0x1A, 2));
  }
  void SetFirstCluster(std::uint64_t entry, std::uint32_t c) {
    Write(entry + 0x14, std::string{static_cast<char>(c >> 16), static_cast<char>(c >> 24)});
    Write(entry + 0x1A, std::string{static_cast<char>(c), static_cast<char>(c >> 8)});
  }
  void SetNext(std::uint32_t c, std::uint32_t next) {
    std::string v(4, '\0');
    for (int i = 0; i < 4; ++i) v[i] = static_cast<char>(next >> (8 * i));
    Write(table_ + c * 4ull, v);
  }
  std::uint64_t data() const { return data_; }
  // Marks the entry deleted, as the first byte of its name; its chain is
  // left as it is.
  void MarkDeleted(std::uint64_t entry) { Write(entry, std::string(1, '\xE5')); }

 private:
  static std::uint64_t Le(const std::string& b, std::size_t at, int size) {
    std::uint64_t v = 0;
    for (int i = size - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b[at + i]);
    return v;
  }
  std::string Read(std::uint64_t at, std::size_t size) {
    std::ifstream f(image_, std::ios::binary);
    f.seekg(static_cast<std::streamoff>(at));
    std::string b(size, '\0');
    f.read(b.data(), static_cast<std::streamsize>(size));
    return b;
  }
  void Write(std::uint64_t at, const std::string& bytes) {
    std::fstream f(image_, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(static_cast<std::streamoff>(at));
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  std::string image_;
  std::uint64_t sector_ = 0, cluster_ = 0, table_ = 0, data_ = 0;
  std::uint32_t root_ = 0;
};

// A FAT boot sector: `sector` bytes a sector, `per_cluster` sectors a
// cluster, one reserved sector (32 on FAT32), two tables of `table`
// sectors (a FAT32 one with the 16-bit size 0), `root` root entries, and
// `clusters` clusters.
std::vector<std::uint8_t> BootSector(std::uint16_t sector, std::uint8_t per_cluster,
                                     std::uint32_t table, bool fat32, std::uint16_t root,
                                     std::uint32_t clusters) {
  std::vector<std::uint8_t> s(512, 0);
  auto put = [&](std::size_t at, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) s[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  s[0] = 0xEB, s[510] = 0x55, s[511] = 0xAA;
  const std::uint32_t reserved = fat32 ? 32 : 1;
  const std::uint32_t data = reserved + 2 * table + (root * 32u + sector - 1) / sector;
  put(0x0B, sector, 2);
  s[0x0D] = per_cluster;
  put(0x0E, reserved, 2);
  s[0x10] = 2;
  put(0x11, root, 2);
  put(0x20, data + clusters * per_cluster, 4);
  s[0x15] = 0xF8;
  if (fat32) {
    put(0x24, table, 4);
    put(0x2C, 2, 4);
  } else {
    put(0x16, table, 2);
  }
  return s;
}

// The kind and clusters of a volume as Windows' own FAT driver reads them.
TEST(FatBootSector, TheKindIsWhatWindowsReads) {
  const struct {
    const char* what;
    std::vector<std::uint8_t> sector;
    FatKind kind;
    std::uint32_t clusters;
  } cases[] = {
      {"4,086 clusters: FAT12 (the driver's limit is 4,087)",
       BootSector(512, 1, 16, false, 512, 4086), FatKind::kFat12, 4086},
      {"4,087 clusters: FAT16", BootSector(512, 1, 16, false, 512, 4087), FatKind::kFat16, 4087},
      {"a small FAT32: its 16-bit table size is 0", BootSector(512, 1, 8, true, 0, 1000),
       FatKind::kFat32, 1000},
      {"FAT12 of 4,096-byte sectors and 512 KiB clusters, a one-sector table",
       BootSector(4096, 128, 1, false, 512, 100), FatKind::kFat12, 100},
  };
  for (const auto& c : cases) {
    FatGeometry g;
    std::string error;
    ASSERT_EQ(c.sector.size(), kFatBootSectorSize) << c.what;
    ASSERT_TRUE(ParseFatBootSector(
        std::span<const std::uint8_t, kFatBootSectorSize>(c.sector.data(), kFatBootSectorSize), &g,
        &error))
        << c.what << ": " << error;
    EXPECT_EQ(g.kind, c.kind) << c.what;
    EXPECT_EQ(g.clusters, c.clusters) << c.what;
  }
  // The same through mkfs.vfat: a FAT32 of 8 MiB (it warns of too few
  // clusters, and makes it) and a FAT12 of 4,096-byte sectors, 512 KiB
  // clusters.
  if (Shell("command -v mkfs.vfat >/dev/null") != 0) QST_SKIP() << "needs mkfs.vfat";
  char dir_template[] = "/tmp/qst_fat_kinds_XXXXXX";
  const std::string dir = mkdtemp(dir_template);
  for (const std::string& make : {std::string("-F 32"), std::string("-F 12 -S 4096 -s 128")}) {
    const std::string image = dir + "/v.img";
    ASSERT_EQ(Shell("rm -f " + image + " && truncate -s " + (make == "-F 32" ? "8M " : "64M ") +
                    image + " && mkfs.vfat " + make + " " + image + " >/dev/null 2>&1"),
              0);
    const testing::RunResult run = RunQst({"-d", image, "-e", "-u", "C:\\"});
    EXPECT_EQ(run.err, "") << make;
    EXPECT_EQ(run.status, 0) << make;
  }
  Shell("rm -rf " + dir);
}

// A folder deleted where the table kept its chain (a deletion cut short,
// or made by a tool): with -a, every entry along the chain, not those of
// its first cluster alone.
TEST(FatDeleted, AFolderWhoseChainIsStillAllocatedIsReadAlongIt) {
  Volume sound = FatImagesAccess::Make("32");
  if (!sound.skip.empty()) QST_SKIP() << sound.skip;
  const std::string image = sound.image + ".chain";
  // 60 long names fill several 512-byte clusters.
  const std::string many = sound.image + ".many/many";
  ASSERT_EQ(Shell("mkdir -p " + many), 0);
  for (int j = 0; j < 60; ++j) std::ofstream(many + "/long-file-name-" + std::to_string(j)) << j;
  const std::string make = "cp " + sound.image + " " + image +
                           " && MTOOLS_SKIP_CHECK=1 mcopy -s -i " + image + " " + many + " ::/";
  ASSERT_EQ(Shell(make + " >/dev/null"), 0);
  {
    Fat32Bytes b(image);
    const std::uint64_t entry = b.EntryOf(b.root(), "MANY       ");
    b.MarkDeleted(entry);
  }
  const testing::RunResult run = RunQst({"-d", image, "-a", "-e", "-u", "-r", "C:\\"});
  EXPECT_EQ(run.status, 0);
  for (int j = 0; j < 60; ++j)
    EXPECT_NE(run.out.find("long-file-name-" + std::to_string(j) + " |"), std::string::npos) << j;
  unlink(image.c_str());
  Shell("rm -rf " + sound.image + ".many");
}

// A folder moved: its old entry deleted, its new one naming the same first
// cluster. With -a the deleted entry is listed, and the walk still enters
// the live folder and lists what it holds.
TEST(FatDeleted, AMovedFolderIsEnteredWhereItLivesWithAll) {
  Volume sound = FatImagesAccess::Make("32");
  if (!sound.skip.empty()) QST_SKIP() << sound.skip;
  if (Shell("command -v mmove >/dev/null") != 0) QST_SKIP() << "needs mmove";
  const std::string image = sound.image + ".moved";
  const std::string file = sound.image + ".1.txt";
  std::ofstream(file) << "moved";
  const std::string m = "MTOOLS_SKIP_CHECK=1 ";
  ASSERT_EQ(
      Shell("cp " + sound.image + " " + image + " && " + m + "mmd -i " + image +
            " ::/test ::/test/1 ::/test/2 ::/test/1/11 && " + m + "mcopy -i " + image + " " + file +
            " ::/test/1/11/1.txt && " + m + "mmove -i " + image + " ::/test/1/11 ::/test/2/"),
      0);
  for (const char* all : {"-a", "-u"}) {
    const testing::RunResult run = RunQst({"-d", image, all, "-e", "-u", "-r", "C:\\test"});
    EXPECT_EQ(run.status, 0) << all;
    EXPECT_NE(run.out.find("\nC:\\test\\2\\11\\1.txt |"), std::string::npos) << all << run.out;
  }
  unlink(image.c_str());
  unlink(file.c_str());
}

// Two live names equal but for case, as a system that tells them apart
// writes them: each path names its own file, and a path that matches both
// only without regard to case says so and lists both.
TEST(FatNames, APathNamesTheFileWrittenSoAndOneMatchingTwoListsBoth) {
  Volume sound = FatImagesAccess::Make("32");
  if (!sound.skip.empty()) QST_SKIP() << sound.skip;
  const std::string image = sound.image + ".case", dir = sound.image + ".case.d";
  ASSERT_EQ(Shell("mkdir -p " + dir), 0);
  std::ofstream(dir + "/application.exe") << "one";
  std::ofstream(dir + "/bpplication.exe") << "two";
  ASSERT_EQ(Shell("cp " + sound.image + " " + image + " && MTOOLS_SKIP_CHECK=1 mcopy -i " + image +
                  " " + dir + "/application.exe " + dir + "/bpplication.exe ::/"),
            0);
  {
    // The second's long name made "Application.exe" (its checksum is the
    // 8.3 name's, which stays).
    std::fstream f(image, std::ios::binary | std::ios::in | std::ios::out);
    std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const std::size_t at = bytes.find(std::string("b\0p\0p\0l\0i\0", 10));
    ASSERT_NE(at, std::string::npos);
    f.seekp(static_cast<std::streamoff>(at));
    f.write("A", 1);
  }
  auto id = [&](const std::string& path) {
    const testing::RunResult r = RunQst({"-d", image, "-e", path});
    EXPECT_EQ(r.status, 0) << path << r.err;
    const std::size_t at = r.out.find(path + " |");
    return at == std::string::npos ? std::string()
                                   : r.out.substr(at, r.out.find(" |", at + path.size() + 2) - at);
  };
  const std::string lower = id("C:\\application.exe"), upper = id("C:\\Application.exe");
  EXPECT_FALSE(lower.empty());
  EXPECT_FALSE(upper.empty());
  EXPECT_NE(lower.substr(lower.find('|')), upper.substr(upper.find('|')));
  const testing::RunResult both = RunQst({"-d", image, "-e", "C:\\APPLICATION.EXE"});
  EXPECT_EQ(both.status, 1);
  EXPECT_NE(both.out.find("C:\\APPLICATION.EXE, CODE=536870913:"), std::string::npos) << both.out;
  EXPECT_NE(both.out.find("\n" + lower + " |"), std::string::npos) << both.out;
  EXPECT_NE(both.out.find("\n" + upper + " |"), std::string::npos) << both.out;
  unlink(image.c_str());
  Shell("rm -rf " + dir);
}

TEST(FatDamage, LoopsSelfHoldingFoldersAndCutImagesCostOnlyWhatTheyTouch) {
  Volume sound = FatImagesAccess::Make("32");
  if (!sound.skip.empty()) QST_SKIP() << sound.skip;
  const std::string reference = RunQst({"-d", sound.image, "-e", "-u", "-r", "C:\\"}).out;
  const std::string copy = sound.image + ".copy";
  const struct {
    const char* what;
    void (*patch)(Fat32Bytes& b, const std::string& image);
    const char* message;
    const char* missing;  // a path the damage costs, or null
  } cases[] = {
      {"a folder's chain loops onto itself",
       [](Fat32Bytes& b, const std::string&) {
         const std::uint32_t d = b.FirstCluster(b.EntryOf(b.root(), "D          "));
         b.SetNext(d, d);
       },
       "1 cluster chain loops back on itself: read up to the loop\n", nullptr},
      {"a folder holds itself",
       [](Fat32Bytes& b, const std::string&) {
         const std::uint32_t d = b.FirstCluster(b.EntryOf(b.root(), "D          "));
         b.SetFirstCluster(b.EntryOf(d, "SUB        "), d);
       },
       "1 folder holds clusters already read as another folder: listed, not entered\n",
       "C:\\d\\sub\\deep.dat"},
      {"a folder leads outside the volume",
       [](Fat32Bytes& b, const std::string&) {
         b.SetFirstCluster(b.EntryOf(b.root(), "D          "), 0x0FFFFFF0);
       },
       "1 cluster chain or folder leads to a cluster that is free, bad or outside the volume\n",
       "C:\\d\\sub\\"},
      {"a folder's chain runs into another folder's clusters",
       [](Fat32Bytes& b, const std::string&) {
         const std::uint32_t d = b.FirstCluster(b.EntryOf(b.root(), "D          "));
         b.SetNext(b.FirstCluster(b.EntryOf(d, "SUB        ")), d);
       },
       "1 folder runs into clusters another folder holds: read up to them\n", nullptr},
      {"the image is cut after the root folder",
       [](Fat32Bytes& b, const std::string& image) {
         ASSERT_EQ(truncate(image.c_str(), static_cast<off_t>(b.ClusterAt(b.root() + 1))), 0);
       },
       " MiB before its volume\n", "C:\\d\\sub\\"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(Shell("cp " + sound.image + " " + copy), 0);
    Fat32Bytes bytes(copy);
    c.patch(bytes, copy);
    auto r = RunQst({"-d", copy, "-e", "-u", "-r", "C:\\"});
    EXPECT_EQ(r.status, 0) << c.what;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.what << ": " << r.err;
    // One line, and one more where the image ends before its volume.
    const bool cut = std::string(c.message).find("before its volume") != std::string::npos;
    EXPECT_EQ(testing::Count(r.err, "\n"), cut ? 2u : 1u) << c.what << ": " << r.err;
    // Each name the damage leaves is listed once, as on the sound volume.
    for (const std::string& path : testing::PathColumn(r.out)) {
      EXPECT_EQ(testing::Count(r.out, "\n" + path + " |"), 1) << c.what << ": " << path;
      if (path != "C:\\d\\" && path != "C:\\d\\sub\\") {
        EXPECT_NE(reference.find("\n" + path + " |"), std::string::npos) << c.what << ": " << path;
      }
    }
    EXPECT_NE(r.out.find("\nC:\\a.txt |"), std::string::npos) << c.what;
    if (c.missing != nullptr) {
      EXPECT_EQ(r.out.find(std::string("\n") + c.missing + " |"), std::string::npos) << c.what;
    }
  }
  // A boot sector that claims the largest table and volume FAT32 allows, on
  // an image of 1 MiB: what is held follows what the image gives.
  ASSERT_EQ(Shell("cp " + sound.image + " " + copy), 0);
  {
    std::fstream f(copy, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(0x20);
    f.write("\xFF\xFF\xFF\xFF\xF0\xFF\xFF\x00", 8);  // sectors, sectors a table
  }
  ASSERT_EQ(truncate(copy.c_str(), 1 << 20), 0);
  const std::string peak = copy + ".peak";
  auto huge = RunQst({"-d", copy, "-e", "-u", "-r", "C:\\"},
                     "timeout 20 /usr/bin/time -f %M -o " + peak + " env");
  EXPECT_TRUE(huge.status == 0 || huge.status == 1) << huge.status << huge.err;
  EXPECT_LT(std::stoul("0" + testing::ReadFile(peak)), 100000u) << huge.err;  // KiB
  unlink(peak.c_str());
  unlink(copy.c_str());
  FatImagesAccess::Remove();
}

// exFAT's own up-case table: names are compared through it, and one that
// fails its checksum is set aside for the built-in table, said once.
TEST(ExfatUpcase, NamesAreComparedThroughTheVolumesTableWhileItHolds) {
  Volume v = FatImagesAccess::Make("exfat");
  if (!v.skip.empty()) QST_SKIP() << v.skip;
  const std::string cafe = "C:\\CAF\xC3\x89 \xC3\x9CN\xC3\x8F.TXT";
  auto sound = RunQst({"-d", v.image, "-e", cafe});
  EXPECT_EQ(sound.status, 0) << sound.err;
  EXPECT_EQ(sound.err, "");
  // The table's entry in the root: its checksum, first cluster and length.
  std::fstream f(v.image, std::ios::binary | std::ios::in | std::ios::out);
  auto le = [&](std::uint64_t at, int size) {
    std::string b(static_cast<std::size_t>(size), '\0');
    f.seekg(static_cast<std::streamoff>(at));
    f.read(b.data(), size);
    std::uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(b[i]);
    return value;
  };
  const std::uint64_t sector = 1ull << le(0x6C, 1), cluster = sector << le(0x6D, 1);
  const std::uint64_t heap = le(0x58, 4) * sector;
  const std::uint64_t root = heap + (le(0x60, 4) - 2) * cluster;
  std::uint64_t entry = root;
  while (le(entry, 1) != 0x82) entry += 32;
  const std::uint64_t table = heap + (le(entry + 0x14, 4) - 2) * cluster;
  const std::uint64_t length = le(entry + 0x18, 8);
  // U+00E9's upper case made itself: É no longer names é.
  std::uint64_t unit = 0, at = 0;
  for (; at < length && unit < 0xE9; at += 2) {
    if (le(table + at, 2) == 0xFFFF) {
      unit += le(table + at + 2, 2);
      at += 2;
    } else {
      ++unit;
    }
  }
  ASSERT_EQ(unit, 0xE9u) << "é lies inside a run of the table";
  ASSERT_EQ(le(table + at, 2), 0xC9u);
  f.seekp(static_cast<std::streamoff>(table + at));
  f.write("\xE9\x00", 2);
  std::uint32_t sum = 0;
  for (std::uint64_t i = 0; i < length; ++i)
    sum = ((sum >> 1) | (sum << 31)) + static_cast<std::uint32_t>(le(table + i, 1));
  const char checksum[] = {static_cast<char>(sum), static_cast<char>(sum >> 8),
                           static_cast<char>(sum >> 16), static_cast<char>(sum >> 24)};
  f.seekp(static_cast<std::streamoff>(entry + 4));
  f.write(checksum, 4);
  f.flush();
  auto own = RunQst({"-d", v.image, "-e", cafe});
  EXPECT_EQ(own.status, 1) << own.out;
  EXPECT_EQ(own.err, "qst: 1 path could not be reported; its error code is in the output\n");
  // Its checksum broken: the built-in table, said once.
  f.seekp(static_cast<std::streamoff>(entry + 4));
  f.write("\0\0\0\0", 4);
  f.flush();
  auto built_in = RunQst({"-d", v.image, "-e", cafe});
  EXPECT_EQ(built_in.status, 0);
  EXPECT_EQ(built_in.err,
            "qst: " + v.image + ": the up-case table is unusable: the built-in one used\n");
  FatImagesAccess::Remove();
}

INSTANTIATE_TEST_SUITE_P(Kinds, FatImages, ::testing::Values("12", "16", "32", "exfat"),
                         [](const auto& kind) { return std::string("fat") + kind.param; });

}  // namespace
}  // namespace qst
