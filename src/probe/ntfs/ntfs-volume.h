// An NTFS volume read straight from its bytes: one sequential pass over the
// MFT keeps, per in-use record (and deleted ones when asked), the $FILE_NAME
// names with their parents (name-store), whether the record is a folder,
// and its $OBJECT_ID; the folder tree is built from the parent references
// (folders.cc). A file's times are read again from its record as it is
// reported. For a few paths, records are instead read as the folders'
// indexes lead to them (lazy.cc), and the volume reads itself whole, once,
// where an index does not lead on. Every length, offset, count and run read
// from the volume is checked before use; a damaged record costs only
// itself, and what was lost is counted.
//
// The on-disk structures are read in files of their own: boot-sector,
// mft-record (and fixups), attribute, attribute-values, run-list,
// attribute-list, index, object-id-index, upcase, mft (the pass), damage,
// usn-journal.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "objectid/objectid.h"
#include "probe/ntfs/attribute-values.h"
#include "probe/ntfs/boot-sector.h"
#include "probe/ntfs/damage.h"
#include "probe/ntfs/index.h"
#include "probe/ntfs/mft.h"
#include "probe/ntfs/name-store.h"
#include "probe/ntfs/upcase.h"
#include "probe/volume-reader.h"

namespace qst {

struct NtfsAttribute;

// Records that are not in use (deleted files) are kept only when asked for.
// The $FILE_NAME times of every name are kept only when asked for, too.
// With `few_paths`, only a few paths will be looked up (no listings): the
// volume then reads the records they lead to rather than the whole MFT,
// where it can.
struct NtfsReadOptions {
  bool deleted = false;
  bool name_times = false;
  bool few_paths = false;
  // Threads the volume is read and sorted on: 1, the caller's alone; 0, as
  // many as the machine has (at most 8).
  int threads = 0;
  // Told after each piece of the MFT read whole: records done, of all.
  std::function<void(std::uint64_t done, std::uint64_t total)> progress;
};

class NtfsVolume {
 public:
  using Times = NtfsTimes;
  using Damage = VolumeDamage;

  static constexpr std::uint64_t kRootRecord = 5;
  static constexpr std::uint64_t kExtendRecord = 11;     // $Extend
  static constexpr std::uint64_t kFirstFileRecord = 16;  // those below are NTFS's own
  static constexpr std::uint32_t kNone = NameStore::kNone;
  // The made-up folder of names whose parent cannot be trusted: a deleted
  // file's folder since gone, a parent reference that fails (no folder,
  // another sequence number, the file itself), a cycle of folders.
  static constexpr std::uint64_t kOrphanFolder = 0xFFFFFFFFFFFE;

  // Reads the volume's boot sector and MFT. False with `*error` set when
  // the bytes hold no usable NTFS volume.
  static bool Open(VolumeReader& reader, NtfsReadOptions options,
                   std::unique_ptr<NtfsVolume>* volume, std::string* error);
  // Reads a bare MFT, as copied out of a volume: no boot sector, and so no
  // data outside the MFT's own records ($UpCase, non-resident indexes).
  static bool OpenMft(VolumeReader& reader, NtfsReadOptions options,
                      std::unique_ptr<NtfsVolume>* volume, std::string* error);

  bool InUse(std::uint64_t record) const;
  // Not in use, kept because deleted records were asked for.
  bool Deleted(std::uint64_t record) const;
  // In use, or deleted and asked for: a record that listings show.
  bool Listed(std::uint64_t record) const { return InUse(record) || Deleted(record); }
  // Whether the record's $STANDARD_INFORMATION was read: without it the
  // file has no times to show.
  bool HasTimes(std::uint64_t record) const;
  bool IsFolder(std::uint64_t record) const;
  // The record's $STANDARD_INFORMATION times, read again from the MFT (the
  // volume keeps none, so that millions of files cost little memory)
  // through `window`, one of the caller's thread; through one of the
  // volume's own, a thread at a time, when null. False when the record
  // cannot be read again or no longer holds the file read before: another
  // sequence number, in use or not. With `size`: also the size of the
  // file's unnamed data stream, from the header of the stream's first
  // piece, in the record or an extension record it names (left empty for
  // a folder, or where that piece cannot be read).
  bool TimesOf(std::uint64_t record, Times* times, Mft::Window* window = nullptr,
               std::optional<std::uint64_t>* size = nullptr) const;
  // The 64 bytes that the object-identifier request returns: the ID, and the
  // birth volume, birth object and domain IDs (from the attribute when it
  // holds them, else from $Extend\$ObjId:$O). False when the file has none.
  // `*births_known`, where given: false when the birth IDs are not in the
  // attribute and $ObjId:$O could not be read whole (left zero then).
  bool ObjectIdOf(std::uint64_t record, FILE_OBJECTID_BUFFER* id,
                  bool* births_known = nullptr) const;

  // The entries of a folder as a directory listing gives them: each name
  // once under its long name, system files of the root left out, in the
  // volume's collation order. Each entry is a name index. A volume read
  // for a few paths reads itself whole first.
  std::span<const std::uint32_t> Children(std::uint64_t folder);
  // The names of deleted records in a folder, in collation order; empty
  // unless asked for. The orphans' folder lists all its names as Children.
  std::span<const std::uint32_t> DeletedChildren(std::uint64_t folder);
  std::uint64_t RecordOfName(std::uint32_t name) const { return names_.RecordOf(name); }
  // The text of a name, valid while `buffer` is not used again.
  using NameBuffer = NameStore::Buffer;
  std::u16string_view NameText(std::uint32_t name, NameBuffer& buffer) const {
    return names_.Text(name, buffer);
  }

  // The entry of `folder` called `name` (case-insensitive, as Windows
  // compares), including the root's system files and 8.3 aliases; the name
  // found (deleted names last), or kNone when there is none. Name indexes
  // and record numbers stay valid for the volume's life.
  std::uint32_t LookupName(std::uint64_t folder, std::u16string_view name);
  // The same, giving the record; kNone when none.
  std::uint64_t Lookup(std::uint64_t folder, std::u16string_view name);
  // The root folder's own name.
  std::uint32_t RootName() const { return root_name_; }
  // The name the root lists the orphans' folder under: "$Orphan", or, when
  // the root holds a real entry of that name, the first of "$Orphan-1",
  // "$Orphan-2", ... that it does not hold.
  std::u16string_view OrphanFolderName() const { return orphan_name_; }
  // The nodes of `record`'s index `name` as they lie on the volume, for a
  // reader of their entries: `root` gets the index root's value (null where
  // the record holds none that could be read) and the record's bytes past
  // those in use; then each block of the allocation as
  // ForEachIndexBlockWithFree gives it (the free ones too with `free_too`),
  // `take` refusing one by its place on the volume. False when the record
  // could not be read; `*incomplete` set where a piece of the allocation's
  // runs could not be. Safe from several threads at once.
  struct IndexNodes {
    std::function<void(const std::vector<std::uint8_t>* root,
                       std::span<const std::uint8_t> past_in_use)>
        root;
    IndexBlockFilter take;
    IndexBlockVisitor block;
  };
  [[nodiscard]] bool ForEachIndexNode(std::uint64_t record, std::u16string_view name, bool free_too,
                                      const IndexNodes& nodes, bool* incomplete) const;
  std::uint32_t IndexBlockSize() const { return boot_.index_block_size; }
  // How many records the MFT can hold: a reference past it names none.
  std::uint64_t RecordLimit() const { return mft_.record_limit(); }
  // The folder that lists a name, and its sequence number; kNone when it
  // lies beyond the records.
  std::uint64_t FolderOfName(std::uint32_t name) const { return names_[name].parent; }
  std::uint16_t FolderSequenceOfName(std::uint32_t name) const {
    return names_[name].parent_sequence;
  }

  // The four times of a name's $FILE_NAME attribute; false unless they were
  // asked for.
  bool NameTimesOf(std::uint32_t name, Times* times) const { return names_.TimesOf(name, times); }
  // The names beside a name in its record: the 8.3 name that goes with a
  // long name (another name of the record, in the same folder, of the DOS
  // name space; kNone when it has none), and how many names the record has,
  // its 8.3 names not counted (its hard links).
  struct Kin {
    std::uint32_t short_name = kNone;
    std::uint32_t links = 0;
  };
  Kin KinOf(std::uint32_t name) const;
  // The $FILE_NAME creation of the nearest record before `record` (`step`
  // -1) or after it (+1), at most kNeighbourReach records away, that is in
  // use in its first life (sequence number 1) and whose name times were
  // read (of its names, the earliest before, the latest after): NTFS takes
  // free records lowest first, so records in their first life were made in
  // the order of their numbers. False when none is.
  static constexpr int kNeighbourReach = 64;
  bool FirstLifeNeighbour(std::uint64_t record, int step, FILETIME* creation) const;
  // Reads, where the volume was opened for a few paths and name times were
  // asked for, the records FirstLifeNeighbour looks at beside `record`.
  void ReachNeighbours(std::uint64_t record);

  // The serial number in the boot sector; 0 for a bare MFT, which has none.
  std::uint64_t Serial() const { return boot_.serial; }

  // The volume's own object ID (that of $Volume); false when it has none.
  bool VolumeObjectId(std::uint8_t (&id)[16]) const;
  // When the volume was made: the creation time of $Volume's record (of
  // $MFT's where that cannot be read), which formatting writes and no
  // program sets through the file system (mkntfs leaves $MFT's at 0).
  // 0 when neither was read.
  FILETIME Created() const { return created_; }

  // Upper case as the volume's $UpCase table has it.
  char16_t Upcase(char16_t c) const { return upcase_(c); }

  // Reads `record` now, where the volume was opened for a few paths: a file
  // found by its number alone rather than by a path.
  void Reach(std::uint64_t record) {
    if (lazy_) Load(record);
  }
  // The first of the record's names; kNone when it has none.
  std::uint32_t FirstNameOf(std::uint64_t record) const;

  std::size_t RecordCount() const { return records_.size(); }
  // The sequence number of a record read; 0 when it was not.
  std::uint16_t SequenceOf(std::uint64_t record) const;

  // What opening a stream met.
  struct StreamLoss {
    bool resident = false;     // its data lies in the record: the stream holds that
    bool no_clusters = false;  // a bare MFT: the clusters its runs name are not there
    bool undecoded = false;    // a piece's run list could not be read: left a hole
    bool gap = false;          // a piece is missing: its stretch is a hole
    bool overlap = false;      // pieces or runs overlap: the later ones are holes
    bool unsized = false;      // the first piece, which tells the size, was lost
    bool any() const { return undecoded || gap || overlap || unsized; }
  };
  // Opens the data of `record`'s attribute of `type` named `name` (empty
  // for the unnamed one) as a reader of its own bytes, resident or not, in
  // pieces across the extension records the record's attribute list names,
  // its sparse runs holes (DataFrom, HoleFrom) that read as zeros. What was
  // lost on the way is set in `*loss`. False when the record holds no such
  // attribute. The stream reads through the volume: it lives no longer.
  [[nodiscard]] bool OpenStream(std::uint64_t record, std::uint32_t type, std::u16string_view name,
                                std::unique_ptr<VolumeReader>* stream, StreamLoss* loss) const;
  // The sizes a log record's target needs to name an MFT record; of a bare
  // MFT, the cluster size its own $DATA tells (0 where it tells none).
  std::uint32_t ClusterSize() const;
  // How many clusters the volume has (0 for a bare MFT, which has none).
  std::uint64_t ClusterCount() const { return boot_.volume_clusters; }
  // Reads `size` bytes at `offset` of the volume itself.
  ReadStatus ReadBytes(std::uint64_t offset, void* buffer, std::size_t size) const {
    return reader_.Read(offset, buffer, size);
  }
  std::uint32_t MftRecordSize() const;
  // A folder's place among folders: its first name that is no 8.3 alias and
  // whose parent holds, and that parent's reference (record | sequence <<
  // 48; a sequence of 0 where the name keeps none). False for a folder not
  // in use, of another sequence number than `sequence` (0: not weighed), or
  // with no such name; on a volume read for a few paths.
  bool FolderPlace(std::uint64_t folder, std::uint16_t sequence, std::u16string* name,
                   std::uint64_t* parent) const;

  Damage DamageFound() const;

 private:
  // Record::flags.
  static constexpr std::uint8_t kInUse = 1;
  static constexpr std::uint8_t kFolder = 2;
  static constexpr std::uint8_t kHasNames = 4;
  static constexpr std::uint8_t kHasTimes = 8;
  static constexpr std::uint8_t kDeleted = 16;
  static constexpr std::uint8_t kDamaged = 32;      // an attribute walk stopped on damage
  static constexpr std::uint8_t kPartial = 64;      // an extension record it names was lost
  static constexpr std::uint8_t kListUnread = 128;  // its attribute list could not be read

  // Kept small: a volume holds millions.
  struct Record {
    std::uint32_t first_name = kNone;  // names_ chain of this record
    std::uint16_t sequence = 0;
    std::uint8_t flags = 0;
  };
  struct ObjectId {
    std::array<std::uint8_t, 64> bytes;
    bool extended;  // all 64 bytes came from the attribute
  };

  NtfsVolume(VolumeReader& reader, NtfsReadOptions options);
  bool ReadBootSector(std::string* error);
  bool CheckRoot(std::string* error);
  void Finish();
  void ReadRecords();
  void ReadRecordsIndexesLeadTo(std::uint64_t pass_end);
  void ParseRecord(std::uint64_t number, std::span<const std::uint8_t> data);
  void ParseBase(std::uint64_t number, std::span<const std::uint8_t> data);
  void ReadAsOwnRecord(std::uint64_t number);
  void ReadUnnamedExtension(std::uint64_t number, std::span<const std::uint8_t> data);
  void ParseAttributes(std::span<const std::uint8_t> data, std::uint64_t owner, bool extension);
  void ParseAttribute(const NtfsAttribute& a, std::uint64_t owner, bool extension, Record& r);
  enum class ExtensionRead { kRead, kLost, kRejected };
  ExtensionRead ReadExtension(std::uint64_t extension, std::uint64_t base);
  bool Names(std::uint64_t base, std::uint64_t extension) const;
  void ReadExtensions();
  void NoteDamage();
  std::uint32_t AddName(std::uint64_t record, const FileNameValue& name);
  void ReadUpcase();
  void ReadObjectIdIndex();
  bool NamesUnread(std::uint64_t record) const;
  void ReadIndexNames(const std::vector<std::uint32_t>& misplaced,
                      std::unordered_map<std::uint32_t, std::uint64_t>* indexed_in);
  // How much of an index was read: all of it; in part (a lost piece of its
  // blocks' runs, no clusters to read its blocks from, a node broken off);
  // none (no record, no root).
  enum class IndexRead { kWhole, kInPart, kAbsent };
  using IndexNameVisitor = std::function<void(const FileNameEntry& entry)>;
  [[nodiscard]] IndexRead ForEachIndexName(std::uint64_t folder, const IndexNameVisitor& visit,
                                           std::unordered_set<std::uint64_t>* seen = nullptr) const;
  // Visits the entries of index `name` of `record`.
  [[nodiscard]] IndexRead ForEachIndexEntry(
      std::uint64_t record, std::u16string_view name, const IndexEntryVisitor& visit,
      std::unordered_set<std::uint64_t>* seen = nullptr) const;
  // The attributes of an index (`name`) in a record read whole.
  struct IndexAttributes {
    bool has_root = false, has_blocks = false;
    std::vector<std::uint8_t> root, bitmap;  // bitmap empty: every block in use
    Runs runs;
    std::uint64_t data_size = 0;
    bool incomplete = false;  // a piece of its blocks' runs could not be read
  };
  IndexAttributes ReadIndexAttributes(std::uint64_t record, const std::vector<std::uint8_t>& raw,
                                      std::u16string_view name) const;
  void NoteLost(std::uint64_t record) { lost_.Note(record); }

  // A name to sort, with its first eight upper-cased units packed so that
  // integers order as names do.
  struct CollationKey {
    std::uint64_t high, low;
    std::uint32_t name;
  };

  // The folder tree (folders.cc).
  void BuildFolders();
  bool IsAlias(std::uint32_t name) const;
  // Where names are listed: a folder's record number, or one of these.
  static constexpr std::uint32_t kUnlisted = kNone, kOrphans = kNone - 1;
  void PlaceNames(std::vector<std::uint32_t>* place, std::vector<std::uint32_t>* folders,
                  std::vector<std::uint32_t>* misplaced);
  std::uint64_t BreakCycles(const std::vector<std::uint32_t>& folders,
                            std::vector<std::uint32_t>* place);
  void NameOrphanFolder();
  void SortFolders();
  void SortByCollation(std::vector<std::uint32_t>::iterator first,
                       std::vector<std::uint32_t>::iterator last,
                       std::vector<CollationKey>* keyed) const;
  bool IsParent(const NameStore::Name& n, bool deleted) const;

  std::span<const std::uint32_t> ListedChildren(std::uint64_t folder) const;
  std::uint32_t Find(std::span<const std::uint32_t> list, std::u16string_view name) const;

  // Reading a few records as paths lead to them (lazy.cc).
  void Load(std::uint64_t record);
  void ReadAll();
  std::uint32_t LookupInIndex(std::uint64_t folder, std::u16string_view name);
  Record& MutableRecord(std::uint64_t record);
  const Record* FindRecord(std::uint64_t record) const;

  VolumeReader& reader_;
  NtfsReadOptions options_;
  // The record `i` records from `record`, before it (`step` -1) or after.
  static std::uint64_t Beside(std::uint64_t record, int step, int i) {
    return record + static_cast<std::uint64_t>(static_cast<std::int64_t>(step) * i);
  }
  // Whether `record` is in use in its first life with a name whose times
  // were read; the creation of its names', the earliest for a record before
  // a file (`step` -1), the latest for one after it.
  bool FirstLifeNamed(std::uint64_t record, int step, FILETIME* creation) const;
  mutable std::mutex own_window_mutex_;
  mutable Mft::Window own_window_;
  // A bare MFT's cluster size, as $MFT's record tells it; 0 where unknown.
  std::uint32_t BareClusterSize() const;
  std::uint32_t bare_cluster_ = 0;
  // The index blocks read for folders' entries, and whom each serves.
  bool lazy_ = false;
  bool object_id_index_whole_ = false;  // $ObjId:$O read whole
  FILETIME created_ = 0;
  BootSector boot_;
  Mft mft_;
  LostRecords lost_;
  LostRecords damaged_;  // records read in part
  std::uint64_t misplaced_ = 0;
  std::uint64_t cycles_ = 0;
  bool upcase_unusable_ = false;
  // Folders whose $I30 index the repair of names could not read whole.
  std::uint64_t indexes_in_part_ = 0;

  std::vector<Record> records_;
  NameStore names_;
  std::uint32_t root_name_ = kNone;
  std::unordered_map<std::uint64_t, std::uint32_t> object_id_of_;  // record -> object_ids_
  std::vector<ObjectId> object_ids_;
  // The listed names of each folder, in collation order: those of record r
  // are child_names_[child_start_[r]] up to child_start_[r + 1].
  std::vector<std::uint32_t> child_start_;
  std::vector<std::uint32_t> child_names_;
  std::vector<std::uint32_t> root_listing_;
  std::vector<std::uint32_t> orphans_;
  std::u16string orphan_name_ = u"$Orphan";
  std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> deleted_children_;
  std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> short_names_;  // 8.3 aliases
  UpcaseTable upcase_;
  // (file, birth IDs) by object ID, from $Extend\$ObjId:$O.
  std::unordered_map<std::string,
                     std::vector<std::pair<std::uint64_t, std::array<std::uint8_t, 48>>>>
      birth_ids_;
  // Extension records: as (base, extension), those the bases' attribute
  // lists name; as (extension, base), those a pass found before their base.
  std::set<std::pair<std::uint64_t, std::uint64_t>> named_extensions_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> found_extensions_;
  // Read lazily: the records read so far, and the records by number.
  std::vector<bool> loaded_;
  std::unordered_map<std::uint64_t, Record> sparse_records_;
};

}  // namespace qst
