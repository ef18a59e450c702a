// A folder's own entries in its $I30 index, read node by node from the
// volume: live ones decoded, and, where slack is read, those carved from
// the nodes' slack and from the record's bytes past those in use.
#include <span>
#include <vector>

#include "probe/ntfs/index.h"
#include "probe/ntfs/mft-record.h"
#include "probe/ntfs/ntfs-volume.h"
#include "probe/witnesses/index-entries/index-part.h"

namespace qst {
namespace {

// The entries of one folder's index as its nodes are read, and the folder
// the entries of the node read last name (IndexBlockOwners::kNobody for
// none, kSeveral for more than one). Only the folder's own entries are
// taken: an entry naming another folder in its key is no entry of this one.
class FolderEntryTaker {
 public:
  FolderEntryTaker(std::uint64_t folder, std::uint64_t records, FolderIndex* index)
      : folder_(folder), records_(records), index_(index) {}

  void StartNode() { owner_ = IndexBlockOwners::kNobody; }
  std::uint64_t owner() const { return owner_; }

  void Live(const std::uint8_t* e, std::uint16_t length) {
    FileNameEntry entry;
    if (!DecodeFileNameEntry(e, length, &entry)) {
      ++index_->undecoded;
      return;
    }
    Own(RecordNumber(entry.key.parent));
    if (RecordNumber(entry.key.parent) == folder_)
      index_->AddLive(entry);
    else
      ++index_->foreign;
  }
  void Carve(std::span<const std::uint8_t> bytes) {
    found_.clear();
    CarveFolderEntries(bytes.data(), bytes.size(), kAnyFolder, &found_, records_);
    for (FolderEntry& e : found_) {
      Own(e.parent);
      if (e.parent == folder_) carved_.push_back(std::move(e));
    }
  }
  void Finish() {
    index_->Seal();
    index_->AddSlack(std::move(carved_));
  }

 private:
  void Own(std::uint64_t parent) {
    owner_ = owner_ == IndexBlockOwners::kNobody || owner_ == parent ? parent
                                                                     : IndexBlockOwners::kSeveral;
  }

  std::uint64_t folder_, records_;
  FolderIndex* index_;
  std::uint64_t owner_ = IndexBlockOwners::kNobody;
  std::vector<FolderEntry> carved_, found_;
};

}  // namespace

void ReadFolderIndex(const NtfsVolume& volume, std::uint64_t folder, bool slack,
                     IndexBlockOwners* owners, FolderIndex* index) {
  FolderEntryTaker taker(folder, volume.RecordLimit(), index);
  auto live = [&](const std::uint8_t* e, std::uint16_t length) { taker.Live(e, length); };
  const std::uint32_t size = volume.IndexBlockSize();
  const bool live_folder = volume.InUse(folder);
  NtfsVolume::IndexNodes nodes;
  nodes.root = [&](const std::vector<std::uint8_t>* root, std::span<const std::uint8_t> past) {
    if (root != nullptr && !ForEachRootEntry(*root, live)) ++index->damaged;
    if (!slack) return;
    if (root != nullptr) taker.Carve(RootSlack(*root));
    if (!past.empty()) taker.Carve(past);
  };
  nodes.take = [&](std::uint64_t place) {
    if (owners->Claim(place, folder, live_folder)) return true;
    ++index->shared;
    return false;
  };
  // Free blocks are read only for their slack.
  nodes.block = [&](std::uint8_t* block, bool in_use, bool read, std::uint64_t place) {
    // A free block may never have been written: no damage then.
    if (!read || !FixUpBlock(block, size)) {
      if (in_use) ++index->damaged;
      return;
    }
    taker.StartNode();
    if (in_use && !ForEachFixedBlockEntry(block, size, live)) ++index->damaged;
    if (slack) taker.Carve(in_use ? BlockSlack(block, size) : BlockEntries(block, size));
    // Whom the block serves, by what this run reads of it: its live
    // entries, and its slack where slack is read.
    if (place != kNoPlace) owners->Settle(place, taker.owner());
  };
  bool incomplete = false;
  if (!volume.ForEachIndexNode(folder, u"$I30", slack, nodes, &incomplete)) {
    ++index->damaged;
    return;
  }
  if (incomplete) ++index->damaged;
  taker.Finish();
}

}  // namespace qst
