#include "probe/ntfs/run-list.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>

namespace qst {
namespace {

std::uint64_t LoadField(const std::uint8_t* p, unsigned size) {
  std::uint64_t value = 0;
  for (unsigned i = 0; i < size; ++i) value |= std::uint64_t{p[i]} << (8 * i);
  return value;
}

}  // namespace

bool DecodeRuns(const std::uint8_t* runs, std::uint32_t length, const ClusterGeometry& geometry,
                Runs* out) {
  const std::uint64_t clusters_max = geometry.volume_clusters;
  // The list's bytes in all, under 2^62: no sum of its lengths overflows.
  std::uint64_t total = 0;
  auto fits = [&](std::uint64_t bytes) { return bytes <= kMaxRunBytes - total; };
  std::uint32_t pos = 0;
  std::int64_t lcn = 0;
  while (pos < length && runs[pos] != 0) {
    std::uint8_t header = runs[pos++];
    unsigned length_size = header & 0x0F;
    unsigned offset_size = header >> 4;
    if (length_size == 0 || length_size > 8 || offset_size > 8 ||
        pos + length_size + offset_size > length)
      return false;
    std::uint64_t clusters = LoadField(runs + pos, length_size);
    pos += length_size;
    if (clusters == 0) return false;
    if (offset_size == 0) {
      // A sparse run lies on no cluster: the volume does not bound it (a
      // long-used journal's sparse start outgrows a small volume), only
      // the byte count of a file (under 2^62 here) does.
      const std::uint64_t sparse_max =
          geometry.cluster_size == 0 ? clusters : kMaxRunBytes / geometry.cluster_size;
      if (clusters > sparse_max || !fits(clusters * geometry.cluster_size)) return false;
      total += clusters * geometry.cluster_size;
      out->emplace_back(kSparse, clusters * geometry.cluster_size);
      continue;
    }
    if (clusters > clusters_max) return false;
    std::uint64_t raw = LoadField(runs + pos, offset_size);
    pos += offset_size;
    if (offset_size < 8 && (raw >> (8 * offset_size - 1)) & 1) raw |= ~0ull << (8 * offset_size);
    // lcn stays within the volume, so only a large positive step can
    // overflow the sum.
    std::int64_t step = static_cast<std::int64_t>(raw);
    if (step > 0 && lcn > INT64_MAX - step) return false;
    lcn += step;
    if (lcn < 0 || static_cast<std::uint64_t>(lcn) > clusters_max ||
        clusters > clusters_max - static_cast<std::uint64_t>(lcn))
      return false;
    if (!fits(clusters * geometry.cluster_size)) return false;
    total += clusters * geometry.cluster_size;
    out->emplace_back(static_cast<std::uint64_t>(lcn) * geometry.cluster_size,
                      clusters * geometry.cluster_size);
  }
  return true;
}

JoinedRuns JoinRunPieces(RunPieces pieces, std::uint64_t cluster_size) {
  JoinedRuns joined;
  if (cluster_size == 0) return joined;
  std::sort(pieces.begin(), pieces.end(),
            [](const auto& x, const auto& y) { return x.first < y.first; });
  std::uint64_t next = 0;
  const std::uint64_t max_clusters = kMaxRunBytes / cluster_size;
  for (auto& [vcn, piece] : pieces) {
    std::uint64_t clusters = 0;
    for (const auto& run : piece) clusters += run.second / cluster_size;
    // A piece past what a file can hold is left out.
    if (vcn > max_clusters || clusters > max_clusters - vcn) {
      joined.overlap = true;
      continue;
    }
    // A piece that starts before the end of the one before takes its place
    // from its first VCN on: each piece is where it says it starts, and
    // what the one before held past that is the overlap, not the piece.
    if (vcn < next) {
      joined.overlap = true;
      while (next > vcn && !joined.runs.empty()) {
        auto& last = joined.runs.back();
        const std::uint64_t held = last.second / cluster_size, cut = std::min(held, next - vcn);
        next -= cut;
        if (cut == held) {
          joined.runs.pop_back();
        } else {
          last.second -= cut * cluster_size;
        }
      }
    }
    if (vcn > next) {
      joined.gap = true;
      joined.runs.emplace_back(kSparse, (vcn - next) * cluster_size);
      next = vcn;
    }
    for (const auto& run : piece) {
      joined.runs.push_back(run);
      next += run.second / cluster_size;
    }
  }
  return joined;
}

Runs DistinctClusters(const Runs& runs, bool* overlapped) {
  *overlapped = false;
  std::map<std::uint64_t, std::uint64_t> covered;  // start -> end on the volume, disjoint
  Runs out;
  auto add = [&](std::uint64_t start, std::uint64_t length) {
    if (length == 0) return;
    if (!out.empty() && out.back().first == kSparse && start == kSparse)
      out.back().second += length;
    else
      out.emplace_back(start, length);
  };
  for (const auto& [start, length] : runs) {
    if (start == kSparse || length == 0) {
      add(start, length);
      continue;
    }
    const std::uint64_t end = start + length;
    std::uint64_t at = start;
    // The covered stretches that reach into [start, end), in order.
    auto it = covered.upper_bound(start);
    if (it != covered.begin() && std::prev(it)->second > start) --it;
    for (; at < end && it != covered.end() && it->first < end; ++it) {
      if (it->second <= at) continue;
      if (it->first > at) {
        add(at, it->first - at);
        at = it->first;
      }
      const std::uint64_t skip_to = std::min(end, it->second);
      add(kSparse, skip_to - at);
      *overlapped = true;
      at = skip_to;
    }
    if (at < end) add(at, end - at);
    // Mark [start, end) covered, merging what it touches.
    std::uint64_t from = start, to = end;
    auto first = covered.lower_bound(start);
    if (first != covered.begin() && std::prev(first)->second >= start) --first;
    auto last = first;
    while (last != covered.end() && last->first <= end) {
      from = std::min(from, last->first);
      to = std::max(to, last->second);
      ++last;
    }
    covered.erase(first, last);
    covered.emplace(from, to);
  }
  return out;
}

ReadStatus ReadThroughRuns(VolumeReader& reader, const Runs& runs, std::uint64_t offset,
                           std::uint8_t* out, std::size_t size) {
  for (const auto& [start, length] : runs) {
    if (size == 0) break;
    if (offset >= length) {
      offset -= length;
      continue;
    }
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length - offset, size));
    if (start == kSparse) {
      std::memset(out, 0, n);
    } else if (ReadStatus status = reader.Read(start + offset, out, n); status != ReadStatus::kOk) {
      return status;
    }
    out += n;
    size -= n;
    offset = 0;
  }
  return size == 0 ? ReadStatus::kOk : ReadStatus::kPastEnd;
}

}  // namespace qst
