// One segment file of an E01 set (EWF version 1, as EnCase and ewfacquire
// write it), read for what the set's completeness needs:
//   "EVF\x09\x0d\x0a\xff\x00", a byte, its segment number (2 bytes at 9),
//   2 bytes; then a chain of sections, each a 76-byte descriptor (type, 16
//   bytes of text; the next section's offset in the file at 16; its size
//   at 24) and its data. "volume" (or "disk", in the first segment):
//   chunks at 4 of the data, sectors a chunk at 8. "table": the entries
//   (one a chunk held in this segment) at 0. The chain ends at "next"
//   (more segments follow) or "done" (the last).
#pragma once

#include <cstdint>

#include "probe/volume-reader.h"

namespace qst {

struct EwfSegment {
  std::uint64_t chunks = 0;  // held here, by its tables
  bool last = false;         // its chain ends at "done"
  bool more = false;         // its chain ends at "next": more segments follow
  std::uint64_t set_chunks = 0, sectors_per_chunk = 0;  // its volume section's, where it has one
};

// Reads `file` as segment `number` of a set; false where it is none, or of
// another number. Bounded by the file: a chain that goes back or on past
// 65,536 sections ends there.
bool ReadEwfSegment(VolumeReader& file, int number, EwfSegment* out);

}  // namespace qst
