// The record of one path: everything a layout prints, built from one probe
// without writing anything.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "objectid/objectid.h"
#include "probe/platform.h"
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

// The fields beyond the default ones that a run asked for.
struct RecordFields {
  bool name_times = false;  // the $FILE_NAME times, their verdict, the alerts
  bool deleted = false;     // -a: deleted records are listed, each with its state
  bool usn = false;         // -U: what the change journal holds of the file
  bool snapshots = false;   // -S: the file's states in the volume's shadow copies
  bool report = false;      // --report: the signs are read for the page, shown or not
  // The forgery signs are shown with -n, -U or -S, among the first of those
  // fields the run shows.
  bool alerts() const { return name_times || usn || snapshots; }
  bool alerts_with_snapshots() const { return snapshots && !name_times && !usn; }
};

struct FileTimestampRecord {
  // Points into the caller's path, which outlives the record.
  std::string_view path;
  // Nonzero when the path could not be probed: the platform's code, with its
  // message (ending in a line break) in `error_text`. Nothing below is set.
  int error = 0;
  std::string error_text;

  std::uint32_t id = 0;
  RenderedTimestamp atime, mtime, ctime, crtime;
  const char* type = "";  // the origin verdict of the four times
  bool has_object_id = false;
  DecodedUuid object_id, birth_object_id;
  char birth_volume_id[33] = {};

  RecordFields fields;
  bool has_name_times = false;
  RenderedTimestamp name_atime, name_mtime, name_ctime, name_crtime;
  const char* name_type = "";  // the origin verdict of the four name times
  std::string alerts;          // ForgeryIndicators
  bool deleted = false;
  // With -U: false when no journal was read (every field unknown).
  bool has_usn = false;
  bool has_usn_created = false, has_usn_times_set = false, has_usn_coverage = false;
  RenderedTimestamp usn_created, usn_times_set, usn_first, usn_last;
  std::uint64_t usn_records = 0;
  std::vector<std::pair<FILETIME, std::uint32_t>> usn_events;  // for the body file

  // With -S: which shadow copy the record's state was read from (none for
  // the volume itself), and the states of the path in each copy, oldest
  // first, printed after this record.
  bool in_snapshot = false;
  // The path names nothing on the volume now: the record itself is not
  // printed, only its states in the copies.
  bool absent = false;
  int snapshot_store = 0;
  RenderedTimestamp snapshot_created;
  std::vector<FileTimestampRecord> snapshots;

  // Printed by the machine forms only.
  bool folder = false;
  bool has_size = false;
  std::uint64_t size = 0;

  // Not printed: the walk uses it to leave folders it is already inside.
  FileIdentity identity;
};

FileTimestampRecord BuildRecord(std::string_view path, const RawFileInfo& raw, TimeForm form,
                                const LocalTimeConverter& zone, RecordFields fields = {});

// Probes `path` (an entry of an open search, when `entry` is given; with
// what the calling thread keeps between probes, when `scratch` is given)
// and builds its record, or the record of the error.
FileTimestampRecord ProbeRecord(Platform& platform, const std::string& path, TimeForm form,
                                RecordFields fields = {}, const DirEntry* entry = nullptr,
                                ProbeScratch* scratch = nullptr);

// The signs that the $STANDARD_INFORMATION times were set by hand, by their
// short names, space-separated; empty when none (or when the data that a
// sign needs is missing):
//   SI<FN       SI creation before the $FILE_NAME creation
//   SI-seconds  all SI times on whole seconds, some $FILE_NAME time not
//   copied      SI write before SI creation
//   OID<SI      the object ID, born on this volume, made more than a day
//               before the SI creation
//   SI<USN      SI creation more than two seconds before the change
//               journal's FILE_CREATE record of the file
//   times-set   the journal holds a close whose changes were the file's
//               times or attributes alone
//   history     the same file's times went where time does not go across
//               its shadow copies and now: a creation time that differs
//               between two states, or a write, change or creation time
//               earlier in a later state than in an earlier one
std::string ForgeryIndicators(const RawFileInfo& raw);

}  // namespace qst
