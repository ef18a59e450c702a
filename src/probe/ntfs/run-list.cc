#include "probe/ntfs/run-list.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

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
    if (clusters == 0 || clusters > clusters_max) return false;
    if (offset_size == 0) {
      out->emplace_back(kSparse, clusters * geometry.cluster_size);
      continue;
    }
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
  for (auto& [vcn, piece] : pieces) {
    if (vcn < next) {
      joined.overlap = true;
      continue;
    }
    if (vcn > next) {
      joined.gap = true;
      joined.runs.emplace_back(kSparse, (vcn - next) * cluster_size);
    }
    for (const auto& run : piece) {
      joined.runs.push_back(run);
      next += run.second / cluster_size;
    }
  }
  return joined;
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
