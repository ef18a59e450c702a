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
