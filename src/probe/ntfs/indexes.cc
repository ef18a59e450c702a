// Reading a volume's indexes: the names a folder's $I30 lists (where the
// MFT's parents cannot be trusted), $ObjId's $O, and, for the index
// entries' witness, each folder's entries with their slack.
#include <unordered_set>

#include "probe/le.h"
#include "probe/ntfs/attribute.h"
#include "probe/ntfs/index.h"
#include "probe/ntfs/mft-record.h"
#include "probe/ntfs/ntfs-volume.h"

namespace qst {

NtfsVolume::IndexAttributes NtfsVolume::ReadIndexAttributes(std::uint64_t record,
                                                            const std::vector<std::uint8_t>& raw,
                                                            std::u16string_view name) const {
  IndexAttributes found;
  bool has_bitmap = false;
  RunPieces pieces;
  // A large folder's index continues in the extension records its list
  // names.
  std::vector<std::uint8_t> extension;
  auto read = [&](const std::vector<std::uint8_t>& bytes) {
    AttributeWalker walker(bytes.data(), mft_.record_size());
    NtfsAttribute a;
    while (walker.Next(&a)) {
      if (a.name != name) continue;
      if (a.type == kAttrIndexRoot && !found.has_root) {
        found.has_root =
            ReadAttributeValue(reader_, mft_.geometry(), a, &found.root, kMaxIndexRoot);
      } else if (a.type == kAttrIndexAllocation && !a.resident) {
        if (a.start_vcn == 0) found.data_size = a.data_size;
        Runs runs;
        if (DecodeRuns(a.runs, a.runs_length, mft_.geometry(), &runs))
          pieces.emplace_back(a.start_vcn, std::move(runs));
        else
          found.incomplete = true;
      } else if (a.type == kAttrBitmap && !has_bitmap) {
        // Without a readable bitmap every block is looked at.
        has_bitmap =
            ReadAttributeValue(reader_, mft_.geometry(), a, &found.bitmap, kMaxIndexBitmap);
      }
    }
  };
  read(raw);
  for (auto it = named_extensions_.lower_bound({record, 0});
       it != named_extensions_.end() && it->first == record; ++it) {
    if (mft_.ReadRecord(it->second, &extension))
      read(extension);
    else
      found.incomplete = true;
  }
  if (!has_bitmap) found.bitmap.clear();
  if (!pieces.empty()) {
    JoinedRuns joined = JoinRunPieces(std::move(pieces), mft_.geometry().cluster_size);
    found.runs = std::move(joined.runs);
    found.has_blocks = !found.runs.empty();
    // A bare MFT holds no clusters: its indexes' blocks are not there.
    if (joined.gap || joined.overlap || !found.has_blocks) found.incomplete = true;
  }
  return found;
}

NtfsVolume::IndexRead NtfsVolume::ForEachIndexEntry(std::uint64_t record, std::u16string_view name,
                                                    const IndexEntryVisitor& visit,
                                                    std::unordered_set<std::uint64_t>* seen) const {
  std::vector<std::uint8_t> raw;
  if (!mft_.ReadRecord(record, &raw)) return IndexRead::kAbsent;
  const IndexAttributes a = ReadIndexAttributes(record, raw, name);
  bool whole = !a.incomplete;
  if (a.has_root && !ForEachRootEntry(a.root, visit)) whole = false;
  auto read = [&] {
    return !a.has_root ? IndexRead::kAbsent : whole ? IndexRead::kWhole : IndexRead::kInPart;
  };
  if (!a.has_blocks) return read();
  std::unordered_set<std::uint64_t> own;
  const std::uint32_t block_size = boot_.index_block_size;
  ForEachIndexBlock(reader_, a.runs, a.data_size, a.bitmap, block_size,
                    seen != nullptr ? seen : &own, [&](std::uint8_t* block) {
                      if (!ForEachBlockEntry(block, block_size, visit)) whole = false;
                    });
  return read();
}

NtfsVolume::IndexRead NtfsVolume::ForEachIndexName(std::uint64_t folder,
                                                   const IndexNameVisitor& visit,
                                                   std::unordered_set<std::uint64_t>* seen) const {
  return ForEachIndexEntry(
      folder, u"$I30",
      [&](const std::uint8_t* e, std::uint16_t length) {
        FileNameEntry entry;
        if (DecodeFileNameEntry(e, length, &entry)) visit(entry);
      },
      seen);
}

bool NtfsVolume::ForEachIndexNode(std::uint64_t record, std::u16string_view name, bool free_too,
                                  const IndexNodes& nodes, bool* incomplete) const {
  auto lock = mft_.ReadsFromThreads();
  std::vector<std::uint8_t> raw;
  if (!mft_.ReadRecord(record, &raw)) return false;
  const IndexAttributes a = ReadIndexAttributes(record, raw, name);
  if (a.incomplete) *incomplete = true;
  // An index root that grew into blocks, or names removed from a small
  // one, may remain past the record's bytes in use.
  const std::size_t in_use = DecodeRecordHeader(raw).bytes_in_use;
  nodes.root(a.has_root ? &a.root : nullptr,
             in_use < raw.size() ? std::span<const std::uint8_t>(raw).subspan(in_use)
                                 : std::span<const std::uint8_t>());
  if (a.has_blocks) {
    std::unordered_set<std::uint64_t> seen;
    ForEachIndexBlockWithFree(reader_, a.runs, a.data_size, a.bitmap, boot_.index_block_size, &seen,
                              free_too, nodes.take, nodes.block);
  }
  return true;
}

}  // namespace qst
