// An NTFS volume made with mkntfs and filled through an ntfs-3g mount for
// the tests of qst -d, with what qst prints over a read-only mount of it in
// Windows form. Needs root, /dev/fuse, mkntfs, ntfs-3g and sfdisk; the tests
// skip where one is missing.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "probe/le.h"
#include "run_binary.h"
#include "scratch_ntfs.h"
#include "test_env.h"

namespace qst::testing {

inline int Shell(const std::string& command) { return std::system(command.c_str()); }

inline void SetTimes(const std::string& path, std::uint64_t creation, std::uint64_t write,
                     std::uint64_t access) {
  ASSERT_TRUE(testing::SetNtfsTimes(path, creation, write, access)) << path;
}

// qst's output over a mount, with the mount's paths written as the image's.
inline std::string InWindowsForm(const std::string& out, const std::string& mount) {
  std::string from = mount + "/", mapped;
  for (std::size_t pos = 0; pos < out.size();) {
    std::size_t end = out.find('\n', pos);
    std::string line = out.substr(pos, end - pos + 1);
    if (line.rfind(from, 0) == 0) {
      std::string path = line.substr(from.size(), line.find(" |") - from.size());
      for (char& c : path) c = c == '/' ? '\\' : c;
      line = "C:\\" + path + line.substr(line.find(" |"));
    }
    mapped += line;
    pos = end + 1;
  }
  return mapped;
}

class NtfsImage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    volume_.Make("qst_image", 64, "sfdisk");
    if (!volume_.skip.empty()) return;
    dir_ = volume_.dir;
    image_ = volume_.image;
    mount_ = volume_.mount;
    Populate();
    // What the volume shows through a read-only mount, in Windows form.
    Shell("umount " + mount_ + " && ntfs-3g -o ro " + image_ + " " + mount_);
    reference_ = RunQst({"-u", "-e", "-r", mount_}).out;
    Shell("umount " + mount_);
    reference_ = InWindowsForm(reference_, mount_);
  }

  static void TearDownTestSuite() { volume_.Remove(); }

  void SetUp() override {
    if (!volume_.skip.empty()) QST_SKIP() << volume_.skip;
  }

  static std::string At(const std::string& relative) { return mount_ + "/" + relative; }

  static void Populate() {
    constexpr std::uint64_t kA = 129408480001234567, kW = 129408480011230000;
    constexpr std::uint64_t kC = 129408480020000007;
    mkdir(At("top").c_str(), 0755);
    mkdir(At("top/sub").c_str(), 0755);
    for (const char* f : {"top/a.txt", "top/B.txt", "top/_under", "top/z.txt", "top/sub/b.txt",
                          "memo.txt", "top/\xc3\x84rger.txt", "top/caf\xc3\xa9"})
      std::ofstream(At(f)) << f;
    for (const char* f :
         {"top/a.txt", "top/B.txt", "top/z.txt", "top/sub/b.txt", "memo.txt", "top/sub", "top"})
      SetTimes(At(f), kC, kW, kA);
    unsigned char id[64];
    for (int i = 0; i < 64; ++i) id[i] = static_cast<unsigned char>(0x10 + i);
    ASSERT_EQ(setxattr(At("memo.txt").c_str(), "system.ntfs_object_id", id, 64, 0), 0);
    ASSERT_EQ(setxattr(At("top/a.txt").c_str(), "system.ntfs_object_id", id + 8, 16, 0), 0);
    // A long name with an 8.3 alias, as Windows gives most files.
    std::ofstream(At("top/Long File Name.txt")) << "long";
    ASSERT_EQ(setxattr(At("top/Long File Name.txt").c_str(), "system.ntfs_dos_name", "LONGFI~1.TXT",
                       12, 0),
              0);
    // Hard links: the file is listed in each folder that names it. So many
    // names need extension records.
    ASSERT_EQ(link(At("top/z.txt").c_str(), At("top/sub/z-link.txt").c_str()), 0);
    mkdir(At("names").c_str(), 0755);
    std::ofstream(At("names/many")) << "many";
    for (int i = 0; i < 40; ++i)
      ASSERT_EQ(
          link(At("names/many").c_str(),
               At("names/another-rather-long-name-of-the-same-file-" + std::to_string(i)).c_str()),
          0);
    mkdir(At("loop").c_str(), 0755);
    mkdir(At("loop/inner").c_str(), 0755);
    std::ofstream(At("loop/inner/deep.txt")) << "deep";
    // A folder of thousands of entries, made in an order unlike the listing.
    mkdir(At("big").c_str(), 0755);
    for (int i = 2999; i >= 0; --i) std::ofstream(At("big/e" + std::to_string(i * 7919 % 3001)));
  }

  static std::string RowsOf(const std::string& out, const std::string& prefix) {
    std::string rows;
    for (std::size_t pos = 0; pos < out.size();) {
      std::size_t end = out.find('\n', pos);
      std::string line = out.substr(pos, end - pos + 1);
      if (line.rfind(prefix, 0) == 0) rows += line;
      pos = end + 1;
    }
    return rows;
  }

  static inline testing::ScratchNtfs volume_;
  static inline std::string dir_, image_, mount_, reference_;
};

// The byte offset of the MFT, from the boot sector.
inline std::uint64_t MftOffset(const std::string& image) {
  std::ifstream in(image, std::ios::binary);
  std::uint8_t boot[512];
  in.read(reinterpret_cast<char*>(boot), sizeof boot);
  return LoadLe64(boot + 0x30) * LoadLe16(boot + 11) * boot[13];
}

}  // namespace qst::testing
