// The allocation table of a FAT or exFAT volume: for each cluster, the next
// of its chain, an end mark, a bad mark or 0 (free). Entries are 12 bits
// (two in three bytes, the odd one in the high bits), 16 bits, or 32 bits of
// which FAT32 uses the low 28; exFAT's are 32 bits, and a file marked
// contiguous there takes no chain from it at all.
//
// A chain is followed for as long as it names clusters of the volume it has
// not named before: a loop, a free or bad cluster, or one past the end
// stops it, said in how it ended; the clusters up to there are kept.
#pragma once

#include <cstdint>
#include <vector>

#include "probe/fat/fat-boot.h"
#include "probe/volume-reader.h"

namespace qst {

enum class ChainEnd : std::uint8_t {
  kEnd,     // an end mark, or the length asked for was reached
  kLoop,    // a cluster the chain named before
  kBroken,  // a free or bad cluster, or one outside the volume
  kUnread,  // the table's bytes for it could not be read
};

class FatTable {
 public:
  // Reads the first table whole (as much as the image holds of it).
  FatTable(VolumeReader& reader, const FatGeometry& g);

  // The clusters of the chain from `first`, at most `limit` of them.
  ChainEnd Chain(std::uint32_t first, std::uint64_t limit, std::vector<std::uint32_t>* out) const;
  // Whether the table could be read whole.
  bool whole() const { return whole_; }

 private:
  std::uint32_t Entry(std::uint32_t cluster, bool* readable) const;

  const FatGeometry& g_;
  std::vector<std::uint8_t> bytes_;
  bool whole_ = true;
  // Where each cluster was last named, by the chain's number: loops are
  // found at the cost of the chain's own length.
  mutable std::vector<std::uint32_t> seen_;
  mutable std::uint32_t chain_number_ = 0;
};

}  // namespace qst
