// An NTFS volume read straight from its bytes: one sequential pass over the
// MFT keeps, per in-use record (and deleted ones when asked), the raw
// $STANDARD_INFORMATION times, the $FILE_NAME names with their parents and
// the $OBJECT_ID; the folder tree is built from the parent references. For a
// few paths, records are instead read as the folders' indexes lead to them.
// Every length, offset, count and run read from the volume is checked before
// use; a damaged record costs only itself, and what was lost is counted.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "objectid/objectid.h"
#include "time/timestamp.h"

namespace qst {

// Bytes of the volume, from its first byte.
class VolumeReader {
 public:
  virtual ~VolumeReader() = default;
  // Fills `buffer` with `size` bytes at `offset`; false when they cannot
  // all be read.
  virtual bool Read(std::uint64_t offset, void* buffer, std::size_t size) = 0;
  // The `size` bytes at `offset` in place, without a copy, valid until the
  // next call; null when the reader cannot show them so (then Read them).
  virtual const std::uint8_t* View(std::uint64_t /*offset*/, std::size_t /*size*/) {
    return nullptr;
  }
  // How many bytes there are to read.
  virtual std::uint64_t Size() const = 0;
};

struct NtfsAttribute;
struct MftPiece;
struct LoadedPiece;

// Records that are not in use (deleted files) are kept only when asked for.
// The $FILE_NAME times of every name are kept only when asked for, too.
// With `lazy`, records are read only as paths lead to them, through their
// folders' $I30 indexes: for a few paths, not for listings.
struct NtfsReadOptions {
  bool deleted = false;
  bool name_times = false;
  bool lazy = false;
  // Told after each piece of the MFT read whole: records done, of all.
  std::function<void(std::uint64_t done, std::uint64_t total)> progress;
};

class NtfsVolume {
 public:
  // Extents as (byte offset, byte length); a sparse one has the offset ~0.
  using Runs = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

  static constexpr std::uint64_t kRootRecord = 5;
  static constexpr std::uint32_t kNone = 0xFFFFFFFF;

  // Reads the volume's boot sector and MFT. Returns null with `*error` set
  // when the bytes hold no usable NTFS volume.
  static std::unique_ptr<NtfsVolume> Open(VolumeReader& reader, std::string* error,
                                          NtfsReadOptions options = {});
  // Reads a bare MFT, as copied out of a volume: no boot sector, and so no
  // data outside the MFT's own records ($UpCase, non-resident indexes).
  static std::unique_ptr<NtfsVolume> OpenMft(VolumeReader& reader, std::string* error,
                                             NtfsReadOptions options = {});

  // The folder that holds deleted records whose parent is gone.
  static constexpr std::uint64_t kOrphanFolder = 0xFFFFFFFFFFFE;

  struct Times {
    FILETIME creation = 0, write = 0, change = 0, access = 0;
  };

  bool InUse(std::uint64_t record) const;
  // Not in use, kept because deleted records were asked for.
  bool Deleted(std::uint64_t record) const;
  // In use, or deleted and asked for: a record that listings show.
  bool Listed(std::uint64_t record) const { return InUse(record) || Deleted(record); }
  // Whether the record's $STANDARD_INFORMATION was read: without it the
  // file has no times to show.
  bool HasTimes(std::uint64_t record) const;
  bool IsFolder(std::uint64_t record) const;
  const Times& TimesOf(std::uint64_t record) const { return FindRecord(record)->times; }
  // The 64 bytes that the object-identifier request returns: the ID, and the
  // birth volume, birth object and domain IDs (from the attribute when it
  // holds them, else from $Extend\$ObjId:$O). False when the file has none.
  bool ObjectIdOf(std::uint64_t record, FILE_OBJECTID_BUFFER* id) const;

  // The entries of a folder as a directory listing gives them: each name
  // once under its long name, system files of the root left out, in the
  // volume's collation order. Each entry is a name index.
  std::span<const std::uint32_t> Children(std::uint64_t folder) const;
  // The names of deleted records in a folder (kOrphanFolder: those whose
  // parent is gone), in collation order; empty unless asked for.
  std::span<const std::uint32_t> DeletedChildren(std::uint64_t folder) const;
  std::uint64_t RecordOfName(std::uint32_t name) const { return names_[name].record; }
  std::u16string_view NameText(std::uint32_t name) const;

  // The entry of `folder` called `name` (case-insensitive, as Windows
  // compares), including the root's system files and 8.3 aliases. kNone
  // when there is none.
  std::uint64_t Lookup(std::uint64_t folder, std::u16string_view name);
  // The same, giving the name found (deleted names last); kNone when none.
  std::uint32_t LookupName(std::uint64_t folder, std::u16string_view name);
  // The root folder's own name.
  std::uint32_t RootName() const { return root_name_; }
  // The four times of a name's $FILE_NAME attribute; false unless they were
  // asked for.
  bool NameTimesOf(std::uint32_t name, Times* times) const;
  // Changes when a lazy volume has read itself whole: record and name
  // numbers taken before are then void.
  int generation() const { return generation_; }

  // The volume's own object ID (that of $Volume); false when it has none.
  bool VolumeObjectId(std::uint8_t (&id)[16]) const;

  // Upper case as the volume's $UpCase table has it.
  char16_t Upcase(char16_t c) const { return upcase_[c]; }

  std::size_t RecordCount() const { return records_.size(); }

  // What could not be read. `lost` names the first of the MFT records that
  // could not be read or were damaged (in order), `lost_count` counts all.
  struct Damage {
    std::vector<std::uint64_t> lost;
    std::uint64_t lost_count = 0;
    bool mft_guessed = false;         // record 0's run list was lost: MFT read from its start
    std::uint64_t missing_bytes = 0;  // how far the image ends before its volume
  };
  Damage DamageFound() const;

 private:
  // Kept small: a volume holds millions.
  struct Record {
    Times times;
    std::uint32_t first_name = kNone;  // names_ chain of this record
    std::uint16_t sequence = 0;
    std::uint8_t flags = 0;
  };
  // Kept small: a volume holds millions.
  struct Name {
    std::uint32_t record;
    std::uint32_t parent;  // kNone when beyond the records
    std::uint32_t next;    // next name of the same record
    std::uint32_t text;    // block << kTextBlockBits | offset, in text_
    std::uint16_t parent_sequence;
    std::uint8_t length;
    std::uint8_t space;  // 0 POSIX, 1 Win32, 2 DOS, 3 Win32 and DOS
  };
  struct ObjectId {
    std::array<std::uint8_t, 64> bytes;
    bool extended;  // all 64 bytes came from the attribute
  };

  NtfsVolume(VolumeReader& reader, NtfsReadOptions options) : reader_(reader), options_(options) {}
  void Finish();
  bool ReadBootSector(std::string* error);
  bool ReadMft(std::string* error);
  bool MftRuns(const std::vector<std::uint8_t>& record0, Runs* runs, std::uint64_t* mft_size);
  bool UsableMftRuns(const std::vector<std::uint8_t>& record0, Runs* runs, std::uint64_t* mft_size);
  void ReadMftBitmap(const std::vector<std::uint8_t>& record0);
  bool MarkedInUse(std::uint64_t record) const;
  void ReadRecords(bool guessed);
  // Parses the records of one piece of the MFT; true when an MFT whose
  // extent is guessed has ended.
  bool ParsePiece(const MftPiece& piece, LoadedPiece& loaded, bool guessed, std::uint64_t* gap,
                  std::uint64_t gap_end);
  void NoteLost(std::uint64_t record);
  std::u16string_view TextOf(std::uint32_t name) const { return NameText(name); }
  static std::u16string_view TextOf(std::u16string_view text) { return text; }
  bool AddExtensionPieces(const std::vector<std::uint8_t>& list,
                          std::vector<std::pair<std::uint64_t, Runs>>* pieces);
  // The value of a resident attribute, or the data of a non-resident one
  // (sparse parts as zeros); false when it is damaged or above `limit`.
  bool ReadValue(const NtfsAttribute& a, std::vector<std::uint8_t>* data, std::size_t limit);
  void ParseRecord(std::uint64_t number, std::uint8_t* data);
  void ReadUpcase();
  void ReadObjectIdIndex();
  void ReadIndexNames();
  // Calls `visit` for each file a folder's $I30 names: its reference (with
  // the sequence number), its $FILE_NAME key and the name's text.
  void ForEachIndexName(
      std::uint64_t folder,
      const std::function<void(std::uint64_t reference, const std::uint8_t* key,
                               std::uint16_t key_length, std::u16string_view text)>& visit);
  void ForEachIndexEntry(
      std::uint64_t record, std::u16string_view name,
      const std::function<void(const std::uint8_t* entry, std::uint16_t length)>& visit);
  // Adds a name from a $FILE_NAME value whose name is `length` units long;
  // returns its index, or kNone when no more can be held.
  std::uint32_t AddName(std::uint64_t record, const std::uint8_t* file_name, std::uint8_t length);
  void BuildFolders();
  int Compare(std::u16string_view a, std::u16string_view b) const;
  std::uint32_t Find(std::span<const std::uint32_t> list, std::u16string_view name) const;
  bool IsParent(const Name& n, bool deleted) const;
  void NoteRecordsWithoutTimes();
  bool ReadAttributeData(std::uint64_t record, std::uint32_t type, std::u16string_view name,
                         std::vector<std::uint8_t>* data, std::size_t limit);
  bool ReadRecord(std::uint64_t number, std::vector<std::uint8_t>* data);

  VolumeReader& reader_;
  NtfsReadOptions options_;
  std::uint32_t root_name_ = kNone;
  std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> deleted_children_;
  std::span<const std::uint32_t> ListedChildren(std::uint64_t folder) const;
  std::uint32_t bytes_per_sector_ = 0;
  std::uint64_t cluster_size_ = 0;
  std::uint32_t record_size_ = 0;
  std::uint32_t index_block_size_ = 0;
  std::uint64_t volume_clusters_ = 0;
  Runs mft_runs_;
  std::uint64_t volume_bytes_ = 0;
  std::uint64_t mirror_offset_ = ~0ull;  // where $MFTMirr starts; ~0 when outside the volume
  std::uint64_t record_limit_ = 0;       // records the MFT can hold in this image
  std::vector<std::uint8_t> bitmap_;     // the MFT's $BITMAP: records in use
  std::vector<std::uint64_t> lost_;
  std::uint64_t lost_count_ = 0;
  bool mft_guessed_ = false;

  std::vector<Record> records_;
  std::vector<Name> names_;
  static constexpr int kTextBlockBits = 20;
  static constexpr std::size_t kTextBlock = std::size_t{1} << kTextBlockBits;
  std::vector<std::u16string> text_;
  std::unordered_map<std::uint64_t, std::uint32_t> object_id_of_;  // record -> object_ids_
  std::vector<ObjectId> object_ids_;
  // The listed names of each folder, in collation order: those of record r
  // are child_names_[child_start_[r]] up to child_start_[r + 1].
  std::vector<std::uint32_t> child_start_;
  std::vector<std::uint32_t> child_names_;
  std::vector<Times> name_times_;  // by name, when asked for
  std::vector<std::uint32_t> root_listing_;
  std::vector<std::uint32_t> orphans_;
  std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> short_names_;  // 8.3 aliases
  std::vector<char16_t> upcase_;
  // Birth IDs and domain ID by object ID, from $Extend\$ObjId:$O.
  // (file, birth IDs) by object ID, from $Extend\$ObjId:$O.
  std::unordered_map<std::string,
                     std::vector<std::pair<std::uint64_t, std::array<std::uint8_t, 48>>>>
      birth_ids_;
  // Read lazily: the records read so far, and extension records a base
  // record's attribute list names.
  std::vector<bool> loaded_;
  std::vector<std::uint64_t> extensions_;
  void Load(std::uint64_t record);
  // Records by number: a table when the MFT is read whole, a map of the few
  // read when it is read lazily.
  Record& MutableRecord(std::uint64_t record);
  const Record* FindRecord(std::uint64_t record) const;
  std::unordered_map<std::uint64_t, Record> sparse_records_;
  void ReadAll();
  int generation_ = 0;
  std::uint32_t LookupInIndex(std::uint64_t folder, std::u16string_view name);
};

// The upper-case table NTFS volumes are formatted with, one entry for each
// UTF-16 unit.
std::vector<char16_t> DefaultUpcaseTable();

// The line that tells what of `image` could not be read ("qst: IMG: 3 MFT
// records unreadable (28-29, 35), image ends 1.2 MiB before its volume"),
// with its line break; empty when nothing was lost.
std::string DescribeDamage(std::string_view image, const NtfsVolume::Damage& damage);

}  // namespace qst
