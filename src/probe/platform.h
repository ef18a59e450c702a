// The one interface through which the logic reaches the operating system:
// probing a path, searching a folder, reading a list file, the text of an
// error code, the path separator and the local-time conversion, with how
// many probes may be in flight. Each platform implements it in files of its
// own; tests use a fake. What a volume read from its bytes holds beyond
// each file's record comes through probe/evidence.h instead.
//
// Errors: every operation that can fail returns an int, 0 on success or the
// platform's error code (errno on POSIX, GetLastError on Windows, Windows
// codes on disk images), which ErrorText turns into the system's message.
// Out-values are written only on success. The other members are queries
// that cannot fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "objectid/objectid.h"
#include "probe/streams.h"
#include "probe/witness.h"
#include "time/timestamp.h"

namespace qst {

// The four times of a file as the volume keeps them, in FILETIME units.
struct FILE_BASIC_INFO {
  FILETIME CreationTime = 0;
  FILETIME LastAccessTime = 0;
  FILETIME LastWriteTime = 0;
  FILETIME ChangeTime = 0;
  std::uint32_t FileAttributes = 0;  // FILE_ATTRIBUTE_DIRECTORY for a folder
};

inline constexpr std::uint32_t kFileAttributeDirectory = 0x10;

// The code a probe gives where the path's last name matches no entry
// exactly but several that differ from it only by case (a volume written by
// a system that tells them apart): a search for the path then gives each.
// An application's own code, as Windows numbers them (bit 29 set).
inline constexpr int kAmbiguousName = 0x20000001;

// What one probe of a path delivers.
struct RawFileInfo {
  bool has_object_id = false;
  FILE_OBJECTID_BUFFER object_id = {};
  // Images: false where the file's attribute holds its object ID alone and
  // the volume's $ObjId:$O, which holds the birth IDs, could not be read
  // whole (a bare MFT, an index lost): they are unknown, not zeros.
  bool has_birth_ids = true;
  FILE_BASIC_INFO basic;
  std::uint32_t file_index = 0;
  // Which file this is on the machine (volume and full file index); both 0
  // when unknown. The walk uses it to leave folders it is already inside.
  std::uint64_t volume = 0;
  std::uint64_t file_id = 0;
  // The size of the file's data, where the probe reads it.
  bool has_size = false;
  std::uint64_t size = 0;

  // Kept by disk images only: whether the record is no longer in use (a
  // deleted file), and the object ID of the volume itself.
  bool deleted = false;
  // A name found in the slack of its folder's index: no record stands
  // behind it, nothing above is read but `file_index`, `volume` and
  // `file_id`, and its times are the entry's, among the facts.
  bool slack = false;
  // With `slack`: the entry's file reference is lost (a key found after an
  // end marker written over its entry's header): `file_index` was not read.
  bool index_lost = false;
  bool has_volume_id = false;
  std::uint8_t volume_id[16] = {};
  // When the volume was made (its $MFT record's creation); 0 when unknown.
  FILETIME volume_created = 0;
  // What the witnesses the run asked for hold of the file, and the moments
  // they place on a timeline.
  Facts facts;
  std::vector<WitnessEvent> events;
  // The witnesses (FindingBit) whose record of the file was lost to
  // damage: the file has none there because what held it could not be
  // read, not because there never was one.
  std::uint8_t witnesses_lost = 0;

  // With -S, on a state read from a shadow copy (its number and creation
  // among the facts): whether it is the file the path names on the volume
  // now (the same record and sequence number).
  bool same_file = false;
  // On the volume's own state: the times of the same file in each shadow
  // copy that holds it, oldest first.
  std::vector<FILE_BASIC_INFO> history;
  // A name that shadow copies alone hold (listed with -S): nothing is on
  // the volume now, and nothing above is set but `volume` and `file_id`;
  // only the states in the copies are reported.
  bool absent = false;
};

// What a search knows of an entry, so that probing it, or searching inside
// it, need not find its path again. Each platform fills in and reads only
// its own fields.
struct SearchHint {
  static constexpr std::uint64_t kNoRecord = ~0ull;
  static constexpr std::uint32_t kNoName = 0xFFFFFFFF;
  int folder_fd = -1;                // POSIX: the open folder it was found in
  std::uint64_t record = kNoRecord;  // images: its MFT record
  std::uint32_t name = kNoName;      // images: the volume's number of the name
  std::uint64_t folder = kNoRecord;  // images: the folder listed
  // Images: a name a witness alone holds in the folder listed (its number
  // in the witness's listing of that folder).
  std::uint32_t item = kNoName;
  // Images with -S: the sequence numbers of the record and of the folder,
  // and whether the name is held by shadow copies alone (`record` is then
  // theirs).
  std::uint16_t sequence = 0;
  std::uint16_t folder_sequence = 0;
  bool snapshot_only = false;
};

// What one thread keeps between its probes: see Platform::NewProbeScratch.
class ProbeScratch {
 public:
  virtual ~ProbeScratch() = default;
};

// One match of a folder search: the bare name and whether it is a folder.
struct DirEntry {
  std::string name;
  bool folder = false;
  // A folder the platform makes up, with no record of its own: walks enter
  // it, nothing reports it.
  bool made_up = false;
  SearchHint hint = {};
};

class DirSearch {
 public:
  virtual ~DirSearch() = default;
  // Yields the next match; false when there is none left.
  virtual bool Next(DirEntry* entry) = 0;
};

// A search over matches gathered beforehand.
class VectorSearch : public DirSearch {
 public:
  explicit VectorSearch(std::vector<DirEntry> entries) : entries_(std::move(entries)) {}
  bool Next(DirEntry* entry) override {
    if (next_ == entries_.size()) return false;
    *entry = std::move(entries_[next_++]);
    return true;
  }

 private:
  std::vector<DirEntry> entries_;
  std::size_t next_ = 0;
};

class Evidence;

class Platform : public LocalTimeConverter {
 public:
  // Opens `path` for attribute access only, following a link to a file; a
  // folder, or a link that cannot be followed, is opened itself, and fills
  // `info`.
  virtual int Probe(const std::string& path, RawFileInfo* info) = 0;

  // The same for `entry`, just yielded at `path` by a search of this
  // platform that is still open; it may use what the search knows of it
  // instead of finding the path again.
  virtual int ProbeEntry(const std::string& path, const DirEntry& entry, RawFileInfo* info) {
    (void)entry;
    return Probe(path, info);
  }
  // What one thread keeps between its probes, where the platform gains from
  // it (a stretch of an MFT read once for the files that follow); null
  // where it does not. It must not outlive the platform.
  virtual std::unique_ptr<ProbeScratch> NewProbeScratch() { return nullptr; }
  // ProbeEntry, with what this thread keeps (null: none).
  virtual int ProbeEntryWith(const std::string& path, const DirEntry& entry, RawFileInfo* info,
                             ProbeScratch* scratch) {
    (void)scratch;
    return ProbeEntry(path, entry, info);
  }

  // Starts a search for `pattern`, whose last component may hold `?` and
  // `*`. Matches come in the file system's order, "." and ".." among them.
  // A search that succeeds holds at least one match; nothing matching is an
  // error.
  virtual int OpenSearch(const std::string& pattern, std::unique_ptr<DirSearch>* search) = 0;

  // Starts a search of every entry of the folder `entry`, just yielded at
  // `folder` (which ends in the separator) by a search of this platform; it
  // may use what the search knows of the folder instead of finding the
  // path again. Matches as for OpenSearch(folder + "*").
  virtual int OpenFolderSearch(const std::string& folder, const DirEntry& entry,
                               std::unique_ptr<DirSearch>* search) {
    (void)entry;
    return OpenSearch(folder + "*", search);
  }

  // Opens a list file for reading.
  virtual int OpenList(const std::string& path, std::unique_ptr<ByteSource>* source) = 0;

  // The system's message for an error code, ending in a line break.
  virtual std::string ErrorText(int code) = 0;

  // The code reported for a path or line too long to be handled.
  virtual int NameTooLongCode() const = 0;

  // The path separator.
  virtual char Separator() const = 0;
  // A second character that separates as the separator does in operands
  // (which are read with it replaced); 0 when there is none.
  virtual char OtherSeparator() const { return 0; }

  // Whether `path` names a volume root, which is walked as it stands.
  virtual bool IsVolumeRoot(std::string_view path) const = 0;

  // How many probes may usefully be in flight at once below `folder`: more
  // than 1 where the file system answers slowly (FUSE, network shares).
  // Whatever it answers, Probe, ProbeEntry, ErrorText and ToLocalTime may be
  // called from several threads at once (-j asks for that anywhere), while
  // the searches they probe stay open.
  virtual int ProbeThreads(const std::string& folder) const {
    (void)folder;
    return 1;
  }
  // Whether probes answer from memory (a volume read whole): a walk then
  // builds and prints records in batches on its own threads, as many as -j
  // or the machine says, rather than keeping probes in flight.
  virtual bool ProbesFromMemory() const { return false; }

  // What the platform's volume holds beyond each file's own record (a disk
  // image's journal, shadow copies, losses); null where there is none.
  virtual Evidence* VolumeEvidence() { return nullptr; }
};

// Whether `path` is a Windows drive's root: "C:" or "C:\\".
inline bool IsDriveRoot(std::string_view path) {
  bool letter =
      !path.empty() && ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
  return letter && path.size() >= 2 && path[1] == ':' &&
         (path.size() == 2 || (path.size() == 3 && path[2] == '\\'));
}

// The platform this program was built for.
std::unique_ptr<Platform> MakeNativePlatform();

// Standard output (1) or standard error (2) of this process.
std::unique_ptr<ByteSink> MakeStandardSink(int stream);
// A file made (or emptied) for writing the program's own output, such as a
// report; null with `*error` the system's code when it cannot be.
std::unique_ptr<ByteSink> MakeFileSink(const std::string& path, int* error);
// Whether that stream is a terminal.
bool IsTerminal(int stream);
// From now on standard output carries the program's bytes as they are
// (UTF-8, line ends as written) rather than text for the system's code page
// and line ends: for forms other programs read.
void SetStandardOutputBytes();

}  // namespace qst
