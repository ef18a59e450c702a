// The witnesses a disk image's volume joins to each file it reports, beside
// the file's own record. Each is a part: opened once with the volume (its
// reader, under ntfs/, reads its structure whole), then asked, for each
// file probed, to add what it holds of that file to the file's facts, and
// at the end to say what of it could not be read. Platform-free.
//
// $FILE_NAME is no part: it lies in the file's own record, and is read with
// it.
//
// Adding a witness: its reader under ntfs/ with a Join that fills facts,
// its facts in probe/witness.h, its part and its line in kParts
// (witness-parts.cc), its columns in print/schema.cc, its signs in
// probe/signs.cc.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "probe/evidence.h"
#include "probe/ntfs/ntfs-volume.h"
#include "probe/platform.h"

namespace qst {

// The file a part is asked about: its record, the sequence number the
// record has now, and the name by which the path reached it (NtfsVolume's
// number, which also knows its folder; kNone when none).
struct FileJoin {
  std::uint64_t record = 0;
  std::uint16_t sequence = 0;
  std::uint32_t name = 0;
};

// What one thread keeps between the joins a part makes for it (what it
// joined last), owned by the thread; parts that keep nothing ignore it.
struct JoinScratch {
  std::uint64_t key = 0;
  std::shared_ptr<const void> kept;
  std::size_t cursor = 0;  // where in it the last join was found
};

class WitnessPart {
 public:
  virtual ~WitnessPart() = default;
  // Adds what the witness holds of `file` to `info` (its facts and
  // events); nothing where it holds nothing. Called from several threads
  // at once, each with its own `scratch` (or null).
  virtual void Join(const FileJoin& file, RawFileInfo* info, JoinScratch* scratch) const = 0;
  // The lines that say what of the witness could not be read; empty when
  // nothing was lost.
  virtual std::string LossReport() const = 0;
  // Those of them that say the witness is not on the volume at all.
  virtual std::string AbsenceReport() const { return {}; }

  // Adds, after the volume's own entries of `folder`, the names the witness
  // alone holds there whose text `matches`, each as a search yields it, its
  // hint's `item` being `tag` and its number in the witness's listing. None
  // by default.
  virtual void ListFolder(std::uint64_t folder,
                          const std::function<bool(std::u16string_view)>& matches,
                          std::uint32_t tag, std::vector<DirEntry>* entries) const {
    (void)folder, (void)matches, (void)tag, (void)entries;
  }
  // Fills `info` for the name numbered `item` in the listing of `folder`;
  // false when there is no such name.
  virtual bool ProbeListed(std::uint64_t folder, std::uint32_t item, RawFileInfo* info) const {
    (void)folder, (void)item, (void)info;
    return false;
  }
};

// The bits of a listed name's `item` that number it in its witness's
// listing; those above number the witness's part.
inline constexpr int kItemBits = 24;

// What a part is opened with.
struct PartSource {
  const ImageSelection& selection;
  NtfsVolume& volume;
  Platform& host;  // opens what the run names outside the image
};

// Opens the part of each witness the run asks for that has one, in the
// order of kWitnesses. An opener: false with `*message` when a
// witness named apart (a stream collected apart) cannot be opened; a
// witness the volume lacks is no failure, its part says so at the end.
bool OpenWitnessParts(const PartSource& source, std::vector<std::unique_ptr<WitnessPart>>* parts,
                      std::string* message);

// Opens the $J stream that --usn-journal names, as a reader of its bytes.
// Reads the log that --logfile-only lists: `file` where one was collected
// apart, else the volume's own, giving `visit` each record with the MFT
// record it changes (by the sizes the log's records state, else those of
// `volume`; none without either); what the reader met in `*scan`. False
// when there is no log to read. `volume` is null for a log listed alone.
using LogTargetVisitor = std::function<void(const LogRecord& record, std::uint64_t target)>;
bool ListLogFile(NtfsVolume* volume, VolumeReader* file, const LogTargetVisitor& visit,
                 LogFileScan* scan);

// What --logfile-only lists, and what reading it met.
struct LogListing {
  bool listed = false;                 // the run lists the log
  std::unique_ptr<VolumeReader> file;  // collected apart; null: the volume's own
  std::string name;                    // what its damage is told of
  bool read = false, found = false;
  LogFileScan scan;
};
// The lines that say what of a log read (`found`: there was one to read)
// was lost; empty when nothing.
std::string DescribeLogRead(const std::string& name, bool found, const LogFileScan& scan);
// Opens a $LogFile collected apart; false with `*message` when it cannot.
bool OpenLogFile(const std::string& path, Platform& host, std::unique_ptr<VolumeReader>* file,
                 std::string* message);

// The paths of journal records' files, where the volume still leads to
// their folders: each folder's path is found once, however many records
// name it (a folder in a cycle costs a walk of the records once, not once
// a record).
class JournalPaths {
 public:
  explicit JournalPaths(const NtfsVolume& volume) : volume_(volume) {}
  // The record's path, else empty: "C:\\" for the root (its own parent), a
  // folder's ending in "\\" as in listings. Valid until the next call.
  const std::string& Of(const UsnRecord& record);

 private:
  const NtfsVolume& volume_;
  // By the parent's reference: its path ("C:\\..."), or none.
  std::unordered_map<std::uint64_t, std::optional<std::string>> folders_;
  std::string path_;
};

bool OpenJournalStream(const std::string& path, Platform& host, std::unique_ptr<VolumeReader>* file,
                       std::string* message);

// The line that says the volume named `name` keeps no journal.
std::string NoJournalLine(const std::string& name);
// The line that tells what reading a journal named `name` stepped over;
// empty when nothing.
std::string DescribeJournalDamage(const std::string& name, std::uint64_t damaged, bool unreadable);

}  // namespace qst
