// Each name's entry in its folder's $I30 index, and the entries left in the
// index's slack. An entry (index.h) holds a copy of the name's $FILE_NAME
// value (attribute-values.h): four times, the sizes and the flags, which
// Windows refreshes from $STANDARD_INFORMATION lazily, as a file opened by
// that name is closed. A tool that edits the record's bytes leaves it
// behind.
//
// When a name is removed its entry stays where it lay, past the end of the
// entries in use of an index block, in blocks the index's $BITMAP marks
// free, and, for a small folder whose index root lies in its MFT record,
// past the bytes in use of that record. Such entries are carved by their
// structure alone, at every 8-byte step of those stretches (entries are
// 8-byte aligned in a node; a node's entries start 8-aligned from its
// header): the entry length is that of a header and its key
// (0x10 + key length, 8-aligned, and 8 more with a sub-node), the key
// length that of a $FILE_NAME value and its name, the flags no more than
// "a sub-node follows", the namespace 0 to 3, the name at least one unit
// and free of NUL and '/', and the parent the folder itself. No time is
// ever a reason to take or leave an entry.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "probe/ntfs/attribute-values.h"
#include "probe/ntfs/index.h"
#include "probe/witness.h"

namespace qst {

// Past every record number a file reference can hold.
inline constexpr std::uint64_t kMaxFileReferenceRecord = std::uint64_t{1} << 48;

// One entry as its folder's index keeps it.
struct FolderEntry {
  std::uint64_t reference = 0;  // the file's, with its sequence number
  std::u16string name;
  NameSpace space = kPosixName;
  NtfsTimes times;
  std::uint64_t allocated = 0, size = 0;
  std::uint64_t parent = 0;  // the record of the folder its key names
  bool slack = false;        // carved from slack, not in use
  // The reference was read: a key found after an end marker written over
  // its entry's header has none.
  bool referenced = true;
};

// Stands for every folder where one is asked for.
inline constexpr std::uint64_t kAnyFolder = ~std::uint64_t{0};

// Carves the entries of `folder` (of any, with kAnyFolder) from `size`
// bytes of slack at `data`, appending them to `out`. Overlapping remnants are each tried. An entry
// must name a record under `records` (what the MFT can hold) with a
// sequence number NTFS writes (not 0): honest bytes that happen to hold a
// name's shape name no file.
void CarveFolderEntries(const std::uint8_t* data, std::size_t size, std::uint64_t folder,
                        std::vector<FolderEntry>* out,
                        std::uint64_t records = kMaxFileReferenceRecord);

// The entries of one folder's index, read once. The live ones are kept
// compact (a large folder holds hundreds of thousands), their names in one
// buffer.
class FolderIndex {
 public:
  // Adds a live entry.
  void AddLive(const FileNameEntry& entry);
  // Readies the live entries for lookups: after the last AddLive.
  void Seal();
  // Adds carved entries, after Seal; those identical to a live entry or to
  // one carved before are left out.
  void AddSlack(std::vector<FolderEntry> carved);

  // Adds the facts of the live entry by which `name` reaches the file
  // (record, sequence): its four times, its sizes and sequence number;
  // nothing where the folder holds no such entry. `*cursor` is where the
  // caller found an entry last (joins in a row often find neighbours),
  // kept up to date; null where there is none.
  void Join(std::uint64_t record, std::uint16_t sequence, std::u16string_view name, Facts* facts,
            std::size_t* cursor = nullptr) const;

  std::size_t live_count() const { return live_.size(); }
  FolderEntry Live(std::size_t i) const;
  const std::vector<FolderEntry>& slack() const { return slack_; }
  // Whether some entry of the index may have been lost: a name without
  // one has lost its witness rather than never had it.
  bool Lossy() const { return damaged != 0 || undecoded != 0 || foreign != 0 || shared != 0; }
  // Parts of the index that could not be read: blocks in use that could
  // not be read or fixed up, or whose entries break off before the node's
  // end, its record, pieces of its runs.
  std::uint64_t damaged = 0;
  // Entries in use whose key is no whole $FILE_NAME value with a name.
  std::uint64_t undecoded = 0;
  // Entries in use whose key names another folder: no entry of this one.
  std::uint64_t foreign = 0;
  // Blocks its runs name that another folder's index names too, not read
  // for this one: their entries name another folder (or none).
  std::uint64_t shared = 0;

 private:
  struct Kept {
    std::uint64_t reference;
    std::uint32_t name;  // where its name starts in narrow_, or in wide_
    std::uint8_t length;
    bool wide;  // a unit of its name lies above 0xFF
    NameSpace space;
    NtfsTimes times;
    std::uint64_t allocated, size;
  };
  bool NameIs(const Kept& k, std::u16string_view name) const;
  // The live entry naming `reference` as `name`, looked for first at and
  // after `*cursor` where given; null where there is none.
  const Kept* Find(std::uint64_t reference, std::u16string_view name,
                   std::size_t* cursor = nullptr) const;
  // A live entry of the name and creation time of `e`, whatever its
  // reference; null where there is none.
  const Kept* FindKey(const FolderEntry& e) const;

  std::vector<Kept> live_;  // in the order read
  // Their places in live_, by reference: what lookups search.
  std::vector<std::uint32_t> order_;
  // The names, a byte a unit where every unit lies below 0x100 (most do).
  std::string narrow_;
  std::u16string wide_;
  std::vector<FolderEntry> slack_;
  // The live entries by creation time, made when a key without reference
  // is first compared with them (while slack is added, on one thread).
  // Sorted by time, then by place: the order the entries were read in
  // among those of one time.
  mutable std::vector<std::pair<FILETIME, std::uint32_t>> by_creation_;
};

// The index blocks read for folders' entries, by their place on the volume,
// and the folder their entries name. Honest folders never share a block:
// where one folder's runs name a block already read for another, the
// block's entries (which are read only for the folder they name) are not
// read again unless they name this one. Safe from several threads.
class IndexBlockOwners {
 public:
  // No folder: the block holds no entry.
  static constexpr std::uint64_t kNobody = kAnyFolder - 1;
  // Its entries name more than one folder.
  static constexpr std::uint64_t kSeveral = kAnyFolder - 2;

  // Whether the block at `place` is to be read for `folder`; `live`: the
  // folder is in use (a deleted folder's runs name clusters a live folder
  // may have taken since: no cross-link).
  bool Claim(std::uint64_t place, std::uint64_t folder, bool live);
  // What the block at `place` was found to hold.
  void Settle(std::uint64_t place, std::uint64_t owner);
  // Blocks that the runs of more than one folder in use name.
  std::uint64_t shared() const;

 private:
  static constexpr std::uint64_t kUnread = kAnyFolder;
  struct Block {
    std::uint64_t owner = kUnread;
    std::uint64_t first;  // the folder in use it was first read for
    bool first_live = false;
    bool shared = false;
  };
  mutable std::mutex mutex_;
  std::unordered_map<std::uint64_t, Block> blocks_;
  std::uint64_t shared_ = 0;
};

// The facts of an entry: its times, sizes and sequence number.
void AddEntryFacts(const FolderEntry& entry, Facts* facts);

}  // namespace qst
