// The run list of a non-resident attribute: where its clusters lie. Each run
// starts with a header byte whose low four bits give the size of the length
// field and whose high four bits give the size of the offset field; then
// the length in clusters and the offset, signed and relative to the
// previous run's start, both little-endian. A run with no offset field is
// sparse. A zero header byte ends the list.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "probe/volume-reader.h"

namespace qst {

// Extents as (byte offset, byte length); a sparse one has the offset
// kSparse.
using Runs = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
inline constexpr std::uint64_t kSparse = ~0ull;
// The most bytes a run list (and the pieces joined) may cover: 2^62, so
// that no sum of lengths or places overflows.
inline constexpr std::uint64_t kMaxRunBytes = 1ull << 62;

// Where a volume's clusters are and how many it has, to place runs.
struct ClusterGeometry {
  std::uint64_t cluster_size = 0;
  std::uint64_t volume_clusters = 0;
};

// Appends the runs of the `length` bytes at `runs` to `out`. False when the
// list is damaged: a run beyond the volume (a sparse run, on no cluster,
// is bounded only by 2^62 bytes), a length of zero, a field too long, or a
// list that does not end inside its bytes.
[[nodiscard]] bool DecodeRuns(const std::uint8_t* runs, std::uint32_t length,
                              const ClusterGeometry& geometry, Runs* out);

// The runs of an attribute kept in pieces (a fragmented one continues in
// the extension records its file's $ATTRIBUTE_LIST names), each with the
// cluster it starts at in the attribute's data.
using RunPieces = std::vector<std::pair<std::uint64_t, Runs>>;
struct JoinedRuns {
  Runs runs;
  bool gap = false;      // a piece is missing: its stretch is left sparse, unread
  bool overlap = false;  // a piece overlaps one before it: it is left out
};
// The runs of the whole, in the order of the data.
JoinedRuns JoinRunPieces(RunPieces pieces, std::uint64_t cluster_size);

// `runs` with every stretch of the volume that an earlier run already
// covers made sparse, so that no byte of the volume is read twice however
// the runs overlap (a damaged or crafted list); true in `*overlapped` when
// some was. The data's length and the places of the rest are kept.
Runs DistinctClusters(const Runs& runs, bool* overlapped);

// Reads the `size` bytes at `offset` of the data that `runs` hold, across
// runs where they span two; sparse parts read as zeros. kPastEnd when the
// runs end first.
ReadStatus ReadThroughRuns(VolumeReader& reader, const Runs& runs, std::uint64_t offset,
                           std::uint8_t* out, std::size_t size);

}  // namespace qst
