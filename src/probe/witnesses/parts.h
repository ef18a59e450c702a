// The witnesses a disk image's volume joins to each file it reports, beside
// the file's own record. Each is a part: opened once with the volume (its
// reader, in the witness's own folder, reads its structure whole), then
// asked, for each file probed, to add what it holds of that file to the
// file's facts, and at the end to say what of it could not be read.
// Platform-free.
//
// $FILE_NAME is no part: it lies in the file's own record, and is read with
// it.
//
// Adding a witness: a folder beside these with its reader and its part (a
// Join that fills facts), its line in kParts (parts.cc), its descriptor
// and facts in probe/witness.h, its columns in print/schema.cc, its signs
// in probe/signs.cc.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
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
  // Adds where the witness's records show the clock set back, and counts
  // in `more` those it did not keep.
  virtual void AddClockSteps(std::vector<ClockStep>* steps, std::uint64_t* more) const {
    (void)steps, (void)more;
  }

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

// Opens a file the run names outside the image, for reading only, as
// bytes from `offset` on: the image layer's own call. A platform call: 0,
// or the system's error code.
using FileOpener = int (*)(const std::string& path, std::uint64_t offset,
                           std::unique_ptr<VolumeReader>* reader);

// A shadow copy of the volume, read as a volume of its own.
struct StoreVolume {
  int number = 0;
  FILETIME created = 0;
  NtfsVolume* volume = nullptr;
};

// Where a record read from a shadow copy's structures was, as listings
// say it: "copy 2 made 2013-12-03T06:37:48Z".
std::string StoreState(const StoreVolume& store);

// What a part is opened with.
struct PartSource {
  const ImageSelection& selection;
  NtfsVolume& volume;
  Platform& host;        // tells the text of an error code
  FileOpener open_file;  // opens what the run names outside the image
  // The volume's shadow copies, oldest first, where -S reads them: a
  // witness may read its state in each beside the volume's own.
  std::span<const StoreVolume> stores = {};
};

// Opens the part of each witness the run asks for that has one, in the
// order of kWitnesses. An opener: false with `*message` when a
// witness named apart (a stream collected apart) cannot be opened; a
// witness the volume lacks is no failure, its part says so at the end.
bool OpenWitnessParts(const PartSource& source, std::vector<std::unique_ptr<WitnessPart>>* parts,
                      std::string* message);

// A witness's own records listed one by one instead of files (its
// descriptor's listing): opened once, asked to list them, and at the end
// to say what of them could not be read.
class WitnessLister {
 public:
  virtual ~WitnessLister() = default;
  // Visits the records in the witness's own order; false when there are
  // none to list.
  virtual bool List(const Evidence::ListingVisitor& visit) = 0;
  virtual std::string LossReport() const = 0;
  virtual std::string AbsenceReport() const { return {}; }
};

// What a lister is opened with: as a part's source, but with no volume
// (null) for a stream listed without an image.
struct ListerSource {
  const ImageSelection& selection;
  NtfsVolume* volume;
  Platform& host;
  FileOpener open_file;
  // As a part's, where -S reads them; valid while the lister is opened.
  std::span<const StoreVolume> stores = {};
};

// Opens the lister of the witness the run lists (`selection.listed`). An
// opener: false with `*message` when what the run named apart cannot be
// opened.
bool OpenWitnessLister(const ListerSource& source, std::unique_ptr<WitnessLister>* lister,
                       std::string* message);

}  // namespace qst
