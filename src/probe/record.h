// The record of one path: everything a layout prints, built from one probe
// without writing anything.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "objectid/objectid.h"
#include "probe/platform.h"
#include "probe/signs.h"
#include "probe/witness.h"
#include "time/timestamp.h"

namespace qst {

// Which file a path names on the machine (volume and full file index); zeros
// when unknown.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t file_id = 0;
  bool known() const { return volume != 0 || file_id != 0; }
  bool operator==(const FileIdentity&) const = default;
};

// One UUID of an object identifier, decoded.
struct DecodedUuid {
  ObjectIdInfo fields;
  RenderedTimestamp time;
  // False when the UUID's time does not lie after 1601-01-01; `time` then
  // holds the value as it was read.
  bool time_known = false;
};

// The fields beyond the default ones that a run asked for: those of each
// witness it reads, and whether the signs are read for a page.
struct RecordFields {
  WitnessSet witnesses;
  bool report = false;  // --report: the signs are read for the page, shown or not
  // Paths are a volume's names joined with '\\' (an image): a '/' in one is
  // a name's own.
  bool volume_names = false;
  bool has(Witness w) const { return witnesses.has(w); }
  // Whether some field shows the signs.
  bool alerts() const { return witnesses.overlaps(kSignCarriers); }
};

struct FileTimestampRecord {
  // Points into the caller's path, which outlives the record.
  std::string_view path;
  // Nonzero when the path could not be probed: the platform's code, with its
  // message (ending in a line break) in `error_text`. Nothing below is set.
  int error = 0;
  std::string error_text;

  std::uint32_t id = 0;
  bool id_lost = false;  // `id` was not read: printed as null
  RenderedTimestamp atime, mtime, ctime, crtime;
  const char* type = "";  // the origin verdict of the four times
  bool has_object_id = false;
  bool has_birth_ids = true;  // with the object ID: false where its birth IDs are unknown
  DecodedUuid object_id, birth_object_id;
  char birth_volume_id[33] = {};

  RecordFields fields;
  bool deleted = false;
  // An entry found in the slack of its folder's index: the four times,
  // the verdict and the object ID above were not read (printed as null);
  // the entry's own are among the facts.
  bool slack = false;
  // What the witnesses hold of the file, raw, and each known time rendered
  // in the run's form (at the fact's place).
  Facts facts;
  std::array<RenderedTimestamp, kTimeFactCount> fact_times;  // by kTimeSlot
  SignSet signs;                                             // with fields.alerts() or report
  std::uint8_t witnessed = 0;  // with the signs: the witnesses that hold the file (FindingBit)
  std::uint8_t lost = 0;       // with the signs: those whose record of the file was lost
  std::vector<WitnessEvent> events;
  // The times of the events of witnesses whose events are earlier times
  // of the file (WitnessDescriptor::earlier_times), in the order of
  // `events` without the others, rendered for the text layouts.
  std::vector<RenderedTimestamp> earlier_times;

  // With -S: the states of the path in each shadow copy, oldest first,
  // printed after this record. A state's copy is among its facts.
  bool in_store() const { return facts.Has(Fact::kSnapshotStore); }
  // On a state in a copy: the copy's number, and when it was made.
  std::uint64_t store() const { return facts.Get(Fact::kSnapshotStore); }
  const RenderedTimestamp& store_made() const { return Time(Fact::kSnapshotCreated); }
  // The path names nothing on the volume now: the record itself is not
  // printed, only its states in the copies.
  bool absent = false;
  std::vector<FileTimestampRecord> states;

  // Printed by the machine forms only.
  bool folder = false;
  bool has_size = false;
  std::uint64_t size = 0;

  // Not printed: the walk uses it to leave folders it is already inside.
  FileIdentity identity;
  // The NTFS file reference (record | sequence << 48) of a record read from
  // a volume's MFT; for timelines that pair a file's events.
  std::optional<std::uint64_t> file_reference;

  // A known time fact as rendered; check facts.Has first.
  const RenderedTimestamp& Time(Fact f) const { return fact_times[kTimeSlot[Index(f)]]; }
  // The origin verdict of the four times from `access` on, in the order
  // access, write, change, creation; null when they were not read.
  const char* Verdict(Fact access) const;
};

FileTimestampRecord BuildRecord(std::string_view path, const RawFileInfo& raw, TimeForm form,
                                const LocalTimeConverter& zone, RecordFields fields = {});

// Probes `path` (an entry of an open search, when `entry` is given; with
// what the calling thread keeps between probes, when `scratch` is given)
// and builds its record, or the record of the error.
FileTimestampRecord ProbeRecord(Platform& platform, const std::string& path, TimeForm form,
                                RecordFields fields = {}, const DirEntry* entry = nullptr,
                                ProbeScratch* scratch = nullptr);

}  // namespace qst
