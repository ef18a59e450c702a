// Change journal records left in a volume's free clusters: a journal
// deleted (fsutil usn deletejournal) or the start Windows cuts from a full
// one frees its clusters, and their records stay there until the clusters
// are written again.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "probe/ntfs/ntfs-volume.h"
#include "probe/witnesses/usn/usn-journal.h"

namespace qst {

struct CarvedCount {
  std::uint64_t clusters = 0;  // free clusters read
  std::uint64_t bytes = 0;     // their bytes
  std::uint64_t records = 0;   // records found in them
  bool bitmap_lost = false;    // part of $Bitmap could not be read: its clusters were not
};

// Visits each record found in the clusters $Bitmap marks free, in the
// volume's order, reading each of them once: a whole record of version 2
// or 3 as Windows writes it, at a USN and a place 8 bytes apart, whose
// file and parent are records the MFT can hold and whose time lies in the
// volume's life (from two days before its creation to `latest`). A run of
// other bytes yields none.
void CarveUsnRecords(const NtfsVolume& volume, FILETIME latest,
                     const std::function<void(const UsnRecord&)>& visit, CarvedCount* count);

// The line that tells what carving the volume named `name` read and found.
std::string DescribeCarving(const std::string& name, const CarvedCount& count);

}  // namespace qst
