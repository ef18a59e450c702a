// The partitions of a disk image or disk: an MBR (with the logical
// partitions of its extended partitions) or a GPT. Every value read from
// the disk is checked before use; a damaged table yields what it holds that
// lies inside the disk.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "probe/volume-reader.h"

namespace qst {

struct Partition {
  std::uint64_t start = 0;   // in sectors of 512 bytes
  std::uint64_t length = 0;  // in sectors of 512 bytes
  std::string description;   // "NTFS / exFAT (0x07)", or a GPT partition's name
  // Whether it holds an NTFS volume, where that was already looked at.
  std::optional<bool> ntfs;
};

enum class PartitionScheme { kNone, kMbr, kGpt };

// Reads the partition table at the start of `disk`: the partitions that hold
// data (not extended containers, not empty entries), in the order of the
// table. Returns kNone, with no partitions, when there is no table.
PartitionScheme ReadPartitionTable(VolumeReader& disk, std::vector<Partition>* partitions);

}  // namespace qst
