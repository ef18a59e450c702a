// A scratch NTFS volume for tests: an image made with mkntfs and mounted
// with ntfs-3g in a folder of its own, and the extended attribute through
// which ntfs-3g sets a file's raw times.
#pragma once

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

namespace qst::testing {

struct ScratchNtfs {
  std::string dir, image, mount;
  std::string skip;  // why no volume could be had, when none could
  bool mounted = false;

  // Makes and mounts a volume of `megabytes`; `tools` are further commands
  // the test needs.
  void Make(const char* name, int megabytes, const std::string& tools = "") {
    std::string check = "command -v mkntfs && command -v ntfs-3g";
    if (!tools.empty()) check += " && command -v " + tools;
    if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0 ||
        std::system((check + " >/dev/null").c_str()) != 0) {
      skip = "needs root, /dev/fuse, mkntfs, ntfs-3g" + (tools.empty() ? "" : " and " + tools);
      return;
    }
    std::string dir_template = std::string("/tmp/") + name + "_XXXXXX";
    dir = mkdtemp(dir_template.data());
    image = dir + "/volume.img";
    mount = dir + "/mnt";
    mkdir(mount.c_str(), 0755);
    std::string make = "truncate -s " + std::to_string(megabytes) + "M " + image +
                       " && mkntfs -F -f -q " + image + " >/dev/null 2>&1 && ntfs-3g " + image +
                       " " + mount;
    mounted = std::system(make.c_str()) == 0;
    if (!mounted) skip = "the NTFS image could not be made or mounted";
  }

  void Remove() {
    if (mounted) std::system(("umount " + mount + " 2>/dev/null").c_str());
    if (!dir.empty()) std::system(("rm -rf " + dir).c_str());
  }
};

// A little-endian number of `size` bytes at `at`.
inline std::uint64_t LoadLe(const std::string& bytes, std::size_t at, int size) {
  std::uint64_t v = 0;
  for (int i = size - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(bytes[at + i]);
  return v;
}

// Where an MFT record (of 1 KiB) lies in the image of a volume.
inline std::uint64_t RecordOffset(const std::string& image, std::uint64_t record) {
  std::ifstream f(image, std::ios::binary);
  std::string boot(512, '\0');
  f.read(boot.data(), 512);
  const std::uint64_t cluster = LoadLe(boot, 11, 2) * LoadLe(boot, 13, 1);
  return LoadLe(boot, 0x30, 8) * cluster + record * 1024;
}

// Where the creation time of a record's $STANDARD_INFORMATION lies in the
// image of a volume (the record's first attribute, as NTFS writes it).
inline std::uint64_t CreationTimeOffset(const std::string& image, std::uint64_t record) {
  const std::uint64_t at = RecordOffset(image, record);
  std::ifstream f(image, std::ios::binary);
  std::string mft_record(1024, '\0');
  f.seekg(static_cast<std::streamoff>(at));
  f.read(mft_record.data(), 1024);
  const std::size_t attribute = LoadLe(mft_record, 0x14, 2);
  return at + attribute + LoadLe(mft_record, attribute + 0x14, 2);
}

// Rewrites the four $STANDARD_INFORMATION times (creation, write, change,
// access) of MFT record `record` of the unmounted volume `image`, as a hex
// editor would, leaving its $FILE_NAME and index entry as they were. False
// when the record's first attribute is not $STANDARD_INFORMATION.
template <typename Change>
bool PatchStandardInformation(const std::string& image, std::uint64_t record, Change change) {
  auto le = [](const unsigned char* p, int n) {
    std::uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
  };
  std::fstream io(image, std::ios::in | std::ios::out | std::ios::binary);
  unsigned char boot[512], r[1024];
  io.read(reinterpret_cast<char*>(boot), sizeof boot);
  const std::uint64_t at = le(boot + 0x30, 8) * le(boot + 11, 2) * boot[13] + record * 1024;
  io.seekg(static_cast<std::streamoff>(at));
  io.read(reinterpret_cast<char*>(r), sizeof r);
  const std::size_t pos = le(r + 20, 2);
  if (!io || pos > 1000 || le(r + pos, 4) != 0x10) return false;
  const std::size_t value = pos + le(r + pos + 20, 2);
  if (value + 32 > 510) return false;
  for (int i = 0; i < 4; ++i) {
    std::uint64_t t = le(r + value + 8 * i, 8);
    change(&t, i);
    for (int b = 0; b < 8; ++b) r[value + 8 * i + b] = static_cast<unsigned char>(t >> (8 * b));
  }
  io.seekp(static_cast<std::streamoff>(at + value));
  io.write(reinterpret_cast<const char*>(r + value), 32);
  return static_cast<bool>(io);
}

// Rewrites the creation time of the $FILE_NAME of name space `space` (1: a
// long name, 2: its 8.3 name) in MFT record `record`, as a hex editor
// would. False when the record holds no such name before its first fixup.
inline bool PatchNameCreation(const std::string& image, std::uint64_t record, int space,
                              std::uint64_t creation) {
  const std::uint64_t at = RecordOffset(image, record);
  std::fstream io(image, std::ios::in | std::ios::out | std::ios::binary);
  std::string r(1024, '\0');
  io.seekg(static_cast<std::streamoff>(at));
  io.read(r.data(), 1024);
  for (std::size_t pos = LoadLe(r, 0x14, 2); pos + 16 < 1024 && LoadLe(r, pos, 4) != 0xFFFFFFFF;
       pos += LoadLe(r, pos + 4, 4)) {
    if (LoadLe(r, pos + 4, 4) == 0) return false;
    const std::size_t value = pos + LoadLe(r, pos + 0x14, 2);
    if (LoadLe(r, pos, 4) != 0x30 || value + 0x42 > 1024 || r[value + 0x41] != space) continue;
    if (value + 0x10 > 510) return false;
    for (int b = 0; b < 8; ++b) r[value + 8 + b] = static_cast<char>(creation >> (8 * b));
    io.seekp(static_cast<std::streamoff>(at + value + 8));
    io.write(r.data() + value + 8, 8);
    return static_cast<bool>(io);
  }
  return false;
}

// Sets creation, last write and last access of `path` itself (a link is not
// followed); the volume sets the change time, or with `change`, the
// record's change time too, as a tool that sets all four times does.
// Returns false on failure.
inline bool SetNtfsTimes(const std::string& path, std::uint64_t creation, std::uint64_t write,
                         std::uint64_t access, std::uint64_t change = 0) {
  unsigned char times[32];
  for (int i = 0; i < 8; ++i) {
    times[i] = static_cast<unsigned char>(creation >> (8 * i));
    times[8 + i] = static_cast<unsigned char>(write >> (8 * i));
    times[16 + i] = static_cast<unsigned char>(access >> (8 * i));
    times[24 + i] = static_cast<unsigned char>(change >> (8 * i));
  }
  return lsetxattr(path.c_str(), "system.ntfs_times", times, change != 0 ? 32 : 24, 0) == 0;
}

}  // namespace qst::testing
