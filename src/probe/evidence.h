// What a volume read from its bytes gives beyond each file's own record:
// the witnesses joined to its files (facts, filled in by each probe), the
// states of a path in the volume's shadow copies, its change journal listed
// record by record, its serial number, and what of all this could not be
// read. The image side implements it beside its platform; the operating
// system's platforms have none.
//
// Errors: nothing here fails a run or a file. A query gives what the
// evidence holds, or says that it holds nothing (an empty optional, false,
// no states); it never stands a made-up value in for one it could not
// read. What could not be read is counted where it was met and told once,
// at the end of the run, by LossReport.
//
// Opening an image is an opener of evidence: false comes with a message
// for the user, and the out-values only on true.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "probe/platform.h"
#include "probe/witness.h"

namespace qst {

// One of a witness's own records, as a listing of them gives it: the
// record, of the witness's own type (a change journal's `UsnRecord`, a
// log's `LogRecord`), which only that witness's lister and listing read;
// the path of its file where the volume still leads to its folder (else
// empty); the MFT record it changes where it names one (else kNoTarget).
struct ListedRecord {
  static constexpr std::uint64_t kNoTarget = ~std::uint64_t{0};
  Witness witness;
  const void* record;
  std::string_view path;
  std::uint64_t target = kNoTarget;
  // Where the record was read, where the listing tells it ("live",
  // "carved"); null where it does not.
  const char* state = nullptr;

  template <typename Record>
  const Record& As() const {
    return *static_cast<const Record*>(record);
  }
};

class Evidence {
 public:
  virtual ~Evidence() = default;

  // The states of the file at `path` in the volume's shadow copies, oldest
  // copy first: in each, the file `current` is (the path's state on the
  // volume; null when it could not be probed), then the file the path
  // names there when that is another one. `entry` as for
  // Platform::ProbeEntry, or null. None where the run reads no copies.
  virtual void ProbeSnapshots(const std::string& path, const DirEntry* entry,
                              const RawFileInfo* current, std::vector<RawFileInfo>* states) = 0;

  // The serial number of the volume, where it has one.
  virtual std::optional<std::uint64_t> VolumeSerial() const = 0;
  // When the volume was made, where that was read.
  virtual std::optional<FILETIME> VolumeCreated() const { return std::nullopt; }
  // Where the witnesses' records show the clock set back, and how many
  // more such steps were not kept.
  virtual std::vector<ClockStep> ClockSteps(std::uint64_t* more) const {
    *more = 0;
    return {};
  }

  // Visits the records of the witness whose listing the run asks for
  // (ImageSelection::listed) in its own order: the change journal's in
  // journal order, the transaction log's oldest first. False when there is
  // none of them to list.
  using ListingVisitor = std::function<void(const ListedRecord& record)>;
  virtual bool ForEachListed(Witness witness, const ListingVisitor& visit) {
    (void)witness, (void)visit;
    return false;
  }

  // The lines (each with its line break) that say what of the evidence
  // could not be read, for the end of the run; empty when nothing was lost.
  virtual std::string LossReport() const = 0;
  // Those of its lines that say a witness the run asked for is not on the
  // volume at all (no journal, no shadow copies): nothing of it was lost.
  virtual std::string AbsenceReport() const { return {}; }
};

// The disk image named with -d, what the run asks of it, and the sector its
// volume starts at (-o; -1 when not given).
struct ImageSelection {
  std::string path;
  std::int64_t sector = -1;
  WitnessSet witnesses;    // what is joined to each file (-n, -a, -U, -S, -I, -L)
  bool few_paths = false;  // the operands are a few paths, no listings
  // What each witness was given from outside the image (a $J stream or a
  // $LogFile collected apart, the image that holds the shadow copies'
  // data); empty: the volume's own.
  std::array<std::string, kWitnessCount> apart;
  // The witness whose own records are listed, record by record, not joined.
  std::optional<Witness> listed;
  bool events = false;  // each file keeps the moments its witnesses hold (a timeline)
  int threads = 0;      // threads to read with (-j); 0: as the machine has
  // FAT's local times: the zone they were written in, in minutes east of
  // UTC; the host's zone when not given.
  std::optional<int> fat_zone;
  // Told, now and then, how many of the MFT's records were read so far.
  std::function<void(std::uint64_t done, std::uint64_t total)> progress;
  // Told what of the image itself is missing (a segment of an E01 set), as
  // lines for standard error; the run goes on, and ends with status 1.
  std::function<void(const std::string& lines)> lost;

  bool wants(Witness w) const { return witnesses.has(w); }
  const std::string& apart_of(Witness w) const { return apart[static_cast<std::size_t>(w)]; }
  bool lists(Witness w) const { return listed == w; }
};

// Opens the volume of a disk image as the platform to report from, its
// evidence served through Platform::VolumeEvidence; `host` serves what lies
// outside the image (list files, the local zone). An opener: false with
// `*message` holding the lines that say why (naming the image; for a
// partitioned image with several volumes, the list of them); true with
// `*message` holding what a run should still be told (another volume the
// image holds), or nothing.
using ImageOpener = bool (*)(const ImageSelection& image, Platform& host,
                             std::unique_ptr<Platform>* volume, std::string* message);

// The image layer of this build; null when it reads no disk images.
ImageOpener NativeImageOpener();
// What that layer reads, in a few words; null when it reads no images.
const char* NativeImageFormats();

}  // namespace qst
