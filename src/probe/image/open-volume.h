// Opening the NTFS volume of a disk image once its bytes can be read: a bare
// MFT, the volume at -o's sector, the only NTFS partition of a partitioned
// image, or the image itself. Platform-free; each build's image layer hands
// over the disk, and this alone decides which volume to read and how.
//
// Errors: openers return a bool; false comes with `*message` holding the
// lines that tell the user why, naming the image.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "probe/evidence.h"
#include "probe/image/volume-platform.h"
#include "probe/partitions.h"
#include "probe/platform.h"
#include "probe/volume-reader.h"

namespace qst {

// A disk image as its image layer hands it over: its bytes, and the
// partitions its table lists (none for a bare volume or a bare MFT, or
// where -o chose the volume).
struct Disk {
  std::unique_ptr<VolumeReader> reader;
  std::vector<Partition> partitions;
  bool container = false;  // read through a container format (E01, VMDK, VHD)
  bool bare_mft = false;   // a bare MFT rather than a volume (WantsPartitions decides)
};

// Opens the image `selection` names as a disk (each build's image layer
// has its own); false with `*message` saying why it cannot be read.
bool OpenDisk(const ImageSelection& selection, Platform& host, Disk* disk, std::string* message);

// Decides, once, whether `disk` is a bare MFT; then whether the image layer
// must list its partitions: neither -o chose the volume nor is it a bare MFT.
bool WantsPartitions(Disk* disk, const ImageSelection& selection);

// Whether a FAT12, FAT16, FAT32 or exFAT boot sector lies `offset` bytes
// into `image`.
bool HoldsFat(VolumeReader& image, std::uint64_t offset);

// Puts the platform of the FAT or exFAT volume `reader` holds in
// `*platform`; refuses what reads only NTFS.
bool OpenFatVolume(std::unique_ptr<VolumeReader> reader, const ImageSelection& selection,
                   Platform& host, HostErrorToWindows to_windows,
                   std::unique_ptr<Platform>* platform, std::string* message);

// Puts the volume's platform in `*platform`.
bool OpenImageVolume(Disk disk, const ImageSelection& selection, Platform& host,
                     HostErrorToWindows to_windows, std::unique_ptr<Platform>* platform,
                     std::string* message);

// Opens the journal that --usn-journal names, without an image, to be
// listed record by record.
bool OpenJournalFile(const ImageSelection& selection, Platform& host,
                     std::unique_ptr<Platform>* platform, std::string* message);

// The container format whose mark `image` starts with ("E01" for any EWF
// file, "AFF", "VMDK", "VHD", "VHDX"), or null for raw bytes.
const char* ContainerMark(VolumeReader& image);

}  // namespace qst
