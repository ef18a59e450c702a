// A scratch NTFS volume for tests: an image made with mkntfs and mounted
// with ntfs-3g in a folder of its own, and the extended attribute through
// which ntfs-3g sets a file's raw times.
#pragma once

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
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

// Sets creation, last write and last access of `path` itself (a link is not
// followed); the volume sets the change time. Returns false on failure.
inline bool SetNtfsTimes(const std::string& path, std::uint64_t creation, std::uint64_t write,
                         std::uint64_t access) {
  unsigned char times[24];
  for (int i = 0; i < 8; ++i) {
    times[i] = static_cast<unsigned char>(creation >> (8 * i));
    times[8 + i] = static_cast<unsigned char>(write >> (8 * i));
    times[16 + i] = static_cast<unsigned char>(access >> (8 * i));
  }
  return lsetxattr(path.c_str(), "system.ntfs_times", times, sizeof times, 0) == 0;
}

}  // namespace qst::testing
