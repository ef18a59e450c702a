#include "probe/file-systems.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "probe/le.h"

namespace qst {
namespace {

// The bytes at `offset + at` of the image, `size` of them; empty where
// they cannot be read.
std::vector<std::uint8_t> Bytes(VolumeReader& image, std::uint64_t offset, std::uint64_t at,
                                std::size_t size) {
  std::vector<std::uint8_t> b(size);
  if (offset > image.Size() || at + size > image.Size() - offset ||
      !image.ReadAll(offset + at, b.data(), size))
    b.clear();
  return b;
}

bool Marked(VolumeReader& image, std::uint64_t offset, std::uint64_t at, const char* mark) {
  const std::size_t n = std::strlen(mark);
  const std::vector<std::uint8_t> b = Bytes(image, offset, at, n);
  return b.size() == n && std::memcmp(b.data(), mark, n) == 0;
}

std::string ExtKind(VolumeReader& image, std::uint64_t offset) {
  const std::vector<std::uint8_t> sb = Bytes(image, offset, 1024, 0x68);
  if (sb.size() != 0x68 || LoadLe16(sb.data() + 0x38) != 0xEF53) return {};
  const std::uint32_t compat = LoadLe32(sb.data() + 0x5C), incompat = LoadLe32(sb.data() + 0x60);
  if ((incompat & 0x40) != 0) return "an ext4 file system";
  if ((compat & 0x4) != 0) return "an ext3 file system";
  return "an ext2 file system";
}

bool HoldsLvmLabel(VolumeReader& image, std::uint64_t offset) {
  for (std::uint64_t sector = 0; sector < 4; ++sector)
    if (Marked(image, offset, sector * 512, "LABELONE") &&
        Marked(image, offset, sector * 512 + 0x18, "LVM2 001"))
      return true;
  return false;
}

bool HoldsMbr(VolumeReader& image, std::uint64_t offset) {
  const std::vector<std::uint8_t> s = Bytes(image, offset, 0, 512);
  if (s.size() != 512 || s[510] != 0x55 || s[511] != 0xAA) return false;
  for (int i = 0; i < 4; ++i) {
    const std::uint8_t* e = s.data() + 446 + 16 * i;
    if (e[4] != 0 && LoadLe32(e + 12) != 0) return true;
  }
  return false;
}

}  // namespace

std::string FileSystemAt(VolumeReader& image, std::uint64_t offset) {
  if (Marked(image, offset, 3, "-FVE-FS-")) return "a BitLocker volume";
  if (Marked(image, offset, 3, "ReFS")) return "a ReFS volume";
  if (Marked(image, offset, 3, "NTFS    ")) return "an NTFS volume";
  if (Marked(image, offset, 0, "XFSB")) return "an XFS file system";
  if (Marked(image, offset, 0x10040, "_BHRfS_M")) return "a Btrfs file system";
  if (Marked(image, offset, 32, "NXSB")) return "an APFS container";
  if (Marked(image, offset, 0x8001, "CD001")) return "an ISO 9660 file system (a CD or DVD image)";
  if (HoldsLvmLabel(image, offset)) return "an LVM physical volume";
  if (Marked(image, offset, 4086, "SWAPSPACE2")) return "Linux swap space";
  if (std::string ext = ExtKind(image, offset); !ext.empty()) return ext;
  if (Marked(image, offset, 1024, "H+") || Marked(image, offset, 1024, "HX"))
    return "an HFS+ file system";
  if (Marked(image, offset, 512, "EFI PART")) return "a GPT partition table";
  if (HoldsMbr(image, offset)) return "an MBR partition table";
  return {};
}

std::string WhatToDoWith(const std::string& format) {
  if (format == "a BitLocker volume")
    return "encrypted: decrypt it first and give qst the decrypted volume";
  if (format == "an LVM physical volume")
    return "its logical volumes lie inside it: activate them and give qst the one that holds "
           "NTFS";
  if (format == "a GPT partition table" || format == "an MBR partition table")
    return "give -o the sector where a partition starts";
  return {};
}

bool OnlyZerosAt(VolumeReader& image, std::uint64_t offset) {
  const std::vector<std::uint8_t> b = Bytes(image, offset, 0, 512);
  return b.size() == 512 && std::all_of(b.begin(), b.end(), [](std::uint8_t x) { return x == 0; });
}

}  // namespace qst
