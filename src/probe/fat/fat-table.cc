#include "probe/fat/fat-table.h"

#include <algorithm>

#include "probe/le.h"

namespace qst {

namespace {

// How many bytes of the table name clusters 0 to clusters + 1.
std::uint64_t TableBytesUsed(const FatGeometry& g) {
  const std::uint64_t entries = std::uint64_t{g.clusters} + 2;
  switch (g.kind) {
    case FatKind::kFat12: return (entries * 3 + 1) / 2;
    case FatKind::kFat16: return entries * 2;
    default: return entries * 4;
  }
}

}  // namespace

FatTable::FatTable(VolumeReader& reader, const FatGeometry& g) : g_(g) {
  const std::uint64_t size = std::min(TableBytesUsed(g), g.table_bytes);
  // Read in pieces, each kept as it comes: what is held grows with what the
  // image gives, never with what its boot sector claims, and a table the
  // image cuts short keeps what it has.
  constexpr std::uint64_t kPiece = 1 << 20;
  for (std::uint64_t at = 0; at < size; at += kPiece) {
    const std::size_t n = static_cast<std::size_t>(std::min(kPiece, size - at));
    bytes_.resize(at + n);
    if (!reader.ReadAll(g.table_offset + at, bytes_.data() + at, n)) {
      bytes_.resize(at);
      whole_ = false;
      break;
    }
  }
  // One mark for each cluster the table read names.
  const std::uint64_t entries = g.kind == FatKind::kFat12   ? bytes_.size() * 2 / 3
                                : g.kind == FatKind::kFat16 ? bytes_.size() / 2
                                                            : bytes_.size() / 4;
  seen_.assign(static_cast<std::size_t>(std::min<std::uint64_t>(entries, g.clusters + 2ull)), 0);
}

std::uint32_t FatTable::Entry(std::uint32_t cluster, bool* readable) const {
  const std::uint64_t c = cluster;
  *readable = true;
  switch (g_.kind) {
    case FatKind::kFat12: {
      const std::uint64_t at = c + c / 2;
      if (at + 2 > bytes_.size()) break;
      const std::uint32_t pair = LoadLe16(bytes_.data() + at);
      return (c & 1) != 0 ? pair >> 4 : pair & 0xFFF;
    }
    case FatKind::kFat16:
      if (c * 2 + 2 > bytes_.size()) break;
      return LoadLe16(bytes_.data() + c * 2);
    case FatKind::kFat32:
      if (c * 4 + 4 > bytes_.size()) break;
      return LoadLe32(bytes_.data() + c * 4) & 0x0FFFFFFF;
    case FatKind::kExfat:
      if (c * 4 + 4 > bytes_.size()) break;
      return LoadLe32(bytes_.data() + c * 4);
  }
  *readable = false;
  return 0;
}

ChainEnd FatTable::Chain(std::uint32_t first, std::uint64_t limit,
                         std::vector<std::uint32_t>* out) const {
  out->clear();
  if (!g_.ValidCluster(first)) return ChainEnd::kBroken;
  if (++chain_number_ == 0) {
    std::fill(seen_.begin(), seen_.end(), 0);
    chain_number_ = 1;
  }
  // Values at or above these end a chain (FAT12 0xFF8, FAT16 0xFFF8,
  // FAT32 0x0FFFFFF8, exFAT 0xFFFFFFF8); the one below each marks a bad
  // cluster.
  const std::uint32_t end = g_.kind == FatKind::kFat12   ? 0xFF8
                            : g_.kind == FatKind::kFat16 ? 0xFFF8
                            : g_.kind == FatKind::kFat32 ? 0x0FFFFFF8
                                                         : 0xFFFFFFF8;
  std::uint32_t cluster = first;
  while (out->size() < limit) {
    // A cluster past what the table read is kept, with no entry to follow.
    if (cluster >= seen_.size()) {
      out->push_back(cluster);
      return ChainEnd::kUnread;
    }
    if (seen_[cluster] == chain_number_) return ChainEnd::kLoop;
    seen_[cluster] = chain_number_;
    out->push_back(cluster);
    bool readable = false;
    const std::uint32_t next = Entry(cluster, &readable);
    if (!readable) return ChainEnd::kUnread;
    if (next >= end) return ChainEnd::kEnd;
    if (!g_.ValidCluster(next)) return ChainEnd::kBroken;
    cluster = next;
  }
  return ChainEnd::kEnd;
}

}  // namespace qst
