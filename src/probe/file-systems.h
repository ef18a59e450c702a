// What lies at a place of an image that is no volume qst reads, told by
// the marks each format keeps at a fixed place, so that a run can say what
// the image holds instead of calling it damaged:
//   BitLocker   "-FVE-FS-" at 3 of the volume's first sector
//   ReFS        "ReFS" at 3
//   ext2/3/4    0xEF53 at 0x438 (the superblock at 1024, magic at 0x38;
//               a journal, compat 0x4, is ext3; extents, incompat 0x40,
//               ext4)
//   XFS         "XFSB" at 0
//   Btrfs       "_BHRfS_M" at 0x10040
//   ISO 9660    "CD001" at 0x8001 (the primary descriptor at sector 16)
//   LVM         "LABELONE" at the start of one of the first four sectors,
//               "LVM2 001" 0x18 after it
//   Linux swap  "SWAPSPACE2" at 4086
//   HFS+        "H+" or "HX" at 1024
//   APFS        "NXSB" at 32
//   GPT         "EFI PART" at 512
//   MBR         0x55AA at 510, with a partition entry
#pragma once

#include <cstdint>
#include <string>

#include "probe/volume-reader.h"

namespace qst {

// The format recognised at `offset` of `image`, as a phrase for a message
// ("an ext4 file system"); empty where none is.
std::string FileSystemAt(VolumeReader& image, std::uint64_t offset);

// What to do with a format FileSystemAt names, as a phrase ("decrypt it
// first"); empty where there is nothing to add.
std::string WhatToDoWith(const std::string& format);

// Whether the 512 bytes at `offset` are all zeros (false where they cannot
// be read).
bool OnlyZerosAt(VolumeReader& image, std::uint64_t offset);

}  // namespace qst
