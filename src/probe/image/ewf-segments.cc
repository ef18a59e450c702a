#include "probe/image/ewf-segments.h"

#include <map>
#include <memory>
#include <optional>

#include "probe/ewf-segment.h"
#include "probe/image/raw-reader.h"
#include "util/text.h"

namespace qst {
namespace {

// Beyond E99 come EAA to EZZ; no set has more.
constexpr int kMostSegments = 99 + 26 * 26;

// The name of segment `n` (from 1) of the set whose first file is `first`.
std::string SegmentName(const std::string& first, int n) {
  std::string name = first;
  const bool lower = name[name.size() - 3] == 'e';
  char ext[3];
  if (n <= 99) {
    ext[0] = lower ? 'e' : 'E';
    ext[1] = static_cast<char>('0' + n / 10);
    ext[2] = static_cast<char>('0' + n % 10);
  } else {
    const int k = n - 100;  // EAA, EAB, ...
    ext[0] = lower ? 'e' : 'E';
    ext[1] = static_cast<char>((lower ? 'a' : 'A') + k / 26);
    ext[2] = static_cast<char>((lower ? 'a' : 'A') + k % 26);
  }
  name.replace(name.size() - 3, 3, ext, 3);
  return name;
}

// Reads segment `n` of the set; none where it is not there or is no
// segment of number `n`.
std::optional<EwfSegment> ReadSegment(const std::string& path, int n) {
  std::unique_ptr<VolumeReader> file;
  EwfSegment s;
  if (OpenRawFile(path, 0, &file) != 0 || !ReadEwfSegment(*file, n, &s)) return std::nullopt;
  return s;
}

}  // namespace

std::string MissingEwfSegments(const std::string& first) {
  if (first.size() < 4 || first[first.size() - 4] != '.' ||
      (first[first.size() - 3] != 'E' && first[first.size() - 3] != 'e') ||
      first.compare(first.size() - 2, 2, "01") != 0)
    return {};
  std::map<int, EwfSegment> present;
  int highest = 0;
  bool done = false;
  // Past the last one there, a few more are looked for: a gap is a
  // segment missing, not the end.
  for (int n = 1; n <= kMostSegments && n <= highest + 16 && !done; ++n) {
    std::optional<EwfSegment> s = ReadSegment(SegmentName(first, n), n);
    if (!s) continue;
    present[n] = *s;
    highest = n;
    done = s->last;
  }
  if (present.empty() || present.count(1) == 0) return {};
  const EwfSegment& one = present[1];
  std::string lines;
  std::uint64_t before = 0;  // chunks held by the segments before the gap
  for (int n = 1; n <= highest + 1; ++n) {
    if (present.count(n) != 0) {
      before += present[n].chunks;
      continue;
    }
    // Past the last one there: missing only where it says more follow (a
    // segment cut short is damage the volume's reader tells).
    if (n == highest + 1 && (done || !present[highest].more)) break;
    // A run of missing segments: from n to the next one there, or to the end.
    int to = n;
    while (to < highest && present.count(to + 1) == 0) ++to;
    std::uint64_t after = 0;
    for (const auto& [k, s] : present)
      if (k > to) after += s.chunks;
    const bool tail = n == highest + 1;
    std::string which = tail ? "the segments after " + SegmentName(first, highest)
                             : (n == to ? SegmentName(first, n)
                                        : SegmentName(first, n) + " to " + SegmentName(first, to));
    std::string zeros;
    if (one.set_chunks != 0 && one.sectors_per_chunk != 0 && before + after <= one.set_chunks) {
      const std::uint64_t from = before * one.sectors_per_chunk;
      const std::uint64_t end = (one.set_chunks - after) * one.sectors_per_chunk;
      if (end > from)
        zeros =
            Format(": sectors %llu to %llu read as zeros", static_cast<unsigned long long>(from),
                   static_cast<unsigned long long>(end - 1));
    }
    lines += Format("qst: %s: the E01 set lacks %s%s\n", first.c_str(), which.c_str(),
                    zeros.empty() ? ": what it held reads as zeros" : zeros.c_str());
    // Chunks past an unknown stretch cannot be placed: one line a gap.
    before = one.set_chunks - after;
    n = to;
  }
  return lines;
}

}  // namespace qst
