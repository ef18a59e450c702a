// The change journal's part: the volume's own $UsnJrnl:$J, or a stream
// collected apart, read whole into an index by file reference and joined
// to each file; and what a listing of the journal needs (its records'
// paths, the stream collected apart, the lines of what was lost).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "probe/ntfs/ntfs-volume.h"
#include "probe/witnesses/parts.h"
#include "probe/witnesses/usn/usn-journal.h"

namespace qst {

bool OpenJournalPart(const PartSource& source, std::unique_ptr<WitnessPart>* part,
                     std::string* message);

// The lister of --journal-only: the volume's journal, or the stream
// --usn-journal names (then read without a volume too).
bool OpenJournalLister(const ListerSource& source, std::unique_ptr<WitnessLister>* lister,
                       std::string* message);

// Reads the volume's change journal, $Extend\$UsnJrnl:$J, record by record
// in journal order; damaged stretches passed are added to `*damaged`, and
// `*unreadable` set where data was lost. False when the volume has none.
bool ReadVolumeJournal(NtfsVolume& volume, const std::function<void(const UsnRecord&)>& visit,
                       std::uint64_t* damaged, bool* unreadable);

// The paths of journal records' files as they were when each record was
// written: a folder renamed or deleted later had the name and the place
// its Rename: old name or File delete record gives, up to that record; a
// folder with no such record after has the one the volume gives it now.
// A path that cannot be known then is none, never today's in its place.
// Each folder's path is found once while no folder's place changes (a
// folder in a cycle costs a walk of its chain once, not once a record).
class JournalPaths {
 public:
  explicit JournalPaths(const NtfsVolume& volume) : volume_(volume) {}
  // Before the first Of: each record of the journals read, in any order.
  void Learn(const UsnRecord& record);
  // The record's path, else empty: "C:\\" for the root (its own parent), a
  // folder's ending in "\\" as in listings. Valid until the next call.
  // Records come in journal order.
  const std::string& Of(const UsnRecord& record);

 private:
  // A folder's name and parent up to the record at `usn`.
  struct Place {
    std::uint64_t usn;
    std::uint64_t parent;
    std::u16string name;
  };
  // The path of `folder` ("C:\\..."), its place as at `usn`; none.
  const std::optional<std::string>& FolderAt(std::uint64_t folder, std::uint64_t usn);

  const NtfsVolume& volume_;
  // By folder reference, in USN order once sorted.
  std::unordered_map<std::uint64_t, std::vector<Place>> places_;
  // The USNs at which some folder's place changed, in order; the paths
  // found since the last of them passed, by folder reference.
  std::vector<std::uint64_t> changes_;
  std::size_t epoch_ = 0;
  bool sorted_ = true;  // places_ and changes_ in USN order
  std::unordered_map<std::uint64_t, std::optional<std::string>> folders_;
  std::string path_;
};

// Opens the $J stream that --usn-journal names, as a reader of its bytes;
// false with `*message` when it cannot be opened or holds no journal.
bool OpenJournalStream(const std::string& path, FileOpener open, Platform& host,
                       std::unique_ptr<VolumeReader>* file, std::string* message);

// The line that says the volume named `name` keeps no journal.
std::string NoJournalLine(const std::string& name);
// The line that tells what reading a journal named `name` stepped over;
// empty when nothing.
std::string DescribeJournalDamage(const std::string& name, std::uint64_t damaged, bool unreadable);

}  // namespace qst
