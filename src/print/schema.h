// The output schema: each field a witness adds to a file's record, once,
// with its name in every layout and form. The block and row layouts, JSON,
// CSV, the body file, the events and the page are all driven by it; a new
// field is a new column here, a new witness a new group.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "probe/evidence.h"
#include "probe/record.h"
#include "probe/witness.h"

namespace qst {

// What a column holds, and so how each form writes it.
enum class Cell : std::uint8_t {
  kTime,     // a time fact; null when not read
  kCount,    // a count fact; null when not read
  kFlag,     // a flag fact, "yes" or "no"; null when not read
  kVerdict,  // the origin verdict of four time facts, from `fact` on
  kState,    // "deleted", "in use", or "slack" for an index entry no longer in use
  kAlerts,   // the signs of forgery that fired
  kNotes,    // the notes of provenance or clock that fired
  kFinding,  // what the signs come to, and the witnesses that hold the file
  kStore,    // "current", or the shadow copy's number and when it was made
  kEarlier,  // the group's events: earlier times of the record, as raw FILETIMEs
};

struct Column {
  Cell cell;
  Fact fact;          // kTime, kCount, kVerdict: the fact it shows
  const char* block;  // the label of its line in the block layout
  const char* row;    // its name in the -e header
  const char* csv;    // its name in the CSV header (two for a snapshot)
  const char* json;   // its key in JSON, within the group's object when `in_object`
  bool in_object = false;
  const char* event = nullptr;  // its key in each event of the file, if any
};

// The signs (alerts, notes, finding): columns of whichever group carries
// them in a run.
extern const std::span<const Column> kSignColumns;

// The names plaso gives a file's four times, in the order of a time set's
// events (creation, write, change, access): events' `timestamp_desc`.
inline constexpr std::array<const char*, 4> kPlasoTimes = {
    "Creation Time", "Content Modification Time", "Metadata Modification Time", "Last Access Time"};

// Four times of a witness as a timeline shows them: in the body file, one
// line named by `body`; as events, one per time, in the order creation,
// write, change, access, from `source`; on the page, four columns named
// after `page`.
struct TimeSet {
  Fact access;  // the first of the four facts (access, write, change, creation)
  const char* body;
  const char* source;
  std::array<const char*, 4> events;  // creation, write, change, access
  const char* page;
  // The same for a row of an entry found in slack, whose times these are.
  const char* slack_body = nullptr;
  std::array<const char*, 4> slack_events = {};
};

// The forms a witness's own records take when the run lists them one by one
// instead of files (--journal-only, --logfile-only).
enum class ListingForm { kBlock, kRow, kJson, kCsv, kBodyfile, kEvents };

// How a witness's own records are printed in each form.
struct Listing {
  // Before the first record, for a run that shows `fields`; may be empty.
  std::string (*header)(ListingForm form, RecordFields fields);
  // Appends `record` in `form`; false where the form has no place for it.
  bool (*print)(const ListedRecord& record, ListingForm form, TimeForm time_form,
                const LocalTimeConverter& zone, std::string* out);
  // The line that says `n` records were left out of `form`.
  std::string (*left_out)(std::uint64_t n);
};

struct FieldGroup {
  Witness witness;
  std::span<const Column> columns;
  // JSON: the key of the object that holds the columns `in_object`; the
  // object is null when none of their facts was read.
  const char* json_object = nullptr;
  // The block layout leaves out the group's time lines (and their verdict)
  // when they were not read, rather than print them as null.
  bool block_omits_unread = false;
  // Where the signs go when this group carries them: before its own
  // columns, or after.
  bool signs_first = false;
  // JSON: the group's own columns come after the object ID.
  bool json_after_object_id = false;
  const TimeSet* times = nullptr;  // its four times on a timeline, if any
  // Its moments on a timeline (WitnessEvent): the source events name, and
  // the description of each.
  const char* event_source = nullptr;
  std::string (*event_text)(std::uint32_t code) = nullptr;
  // The time it is as plaso names it (kPlasoTimes), for `timestamp_desc`.
  const char* (*event_desc)(std::uint32_t code) = nullptr;
  // Its own records listed one by one, where the witness has such a
  // listing.
  const Listing* listing = nullptr;
  // The block layout prints it before the other groups (a deleted file
  // says so first).
  bool block_first = false;
};

// Every group, in print order.
extern const std::array<FieldGroup, kWitnessCount> kFieldGroups;
// The record's own four times on a timeline.
extern const TimeSet kRecordTimes;

// The group that carries the signs in a run showing `fields`: the first
// shown of those that can; null when none is shown.
const FieldGroup* SignsGroup(RecordFields fields);

// The group of witness `w`.
const FieldGroup& GroupOf(Witness w);

// Whether a run showing `fields` lists deleted files, and whether `r` is
// one it shows as deleted.
bool ListsDeleted(RecordFields fields);
inline bool ShowsDeleted(const FileTimestampRecord& r) {
  return ListsDeleted(r.fields) && r.deleted;
}

// What a sign weighs, side by side on the page: the file's $SI time and the
// other witness's where the sign sets one against another.
struct Weighed {
  std::string_view sign;
  const char* si_label;
  const RenderedTimestamp FileTimestampRecord::*si;
  const char* other_label;
  std::optional<Fact> other;  // none: the object ID's own time
};
extern const std::span<const Weighed> kWeighed;

// A witness's creation times drawn on the page's chart beside the files'
// own: a line of counts a bar, a column of the chart's table, its words in
// the caption and its mark in the legend.
struct ChartLine {
  Fact fact;
  const char* css;      // the line's class
  const char* column;   // its column in the chart's table
  const char* caption;  // "blue line: the $FILE_NAME creation times"
  const char* one;      // what one time outside the chart is called
  const char* many;
  const char* legend;
  int legend_width;
};
extern const std::span<const ChartLine> kChartLines;
// The copies a witness keeps a state in, marked on the chart where each was
// made.
struct ChartStores {
  const char* title;    // "shadow copy": each mark's title, before its number
  const char* caption;  // "dotted lines: the shadow copies, by number"
  const char* one;
  const char* many;
  const char* legend;
  int legend_width;
};
extern const ChartStores kChartStores;

// What a state in a shadow copy adds to its record's name on a timeline:
// " (snapshot N)" in the body file, " in shadow copy N" in an event's
// message; nothing for the current state.
enum class StoreTextForm { kBody, kEvent };
std::string StoreText(const FileTimestampRecord& r, StoreTextForm form);

// What an event is, in the terms plaso's events use, so that analyzers
// written for them (those that pair a file's $SI and $FN events by its file
// reference) read ours: its data type and, for NTFS's own attributes, the
// attribute's type; by the event's source (a time set's, a group's).
struct EventKind {
  const char* data_type;
  int attribute_type;  // 0: none
};
EventKind EventKindOf(const FileTimestampRecord& r, std::string_view source);

// The sets of four times a record shows, its own first.
std::vector<const TimeSet*> TimeSetsShown(RecordFields fields);
// Whether the four times of `set` were read for `r`.
bool HasTimes(const FileTimestampRecord& r, const TimeSet& set);
// The four times of `set` in `r`: creation, write, change, access.
std::array<const RenderedTimestamp*, 4> TimesOf(const FileTimestampRecord& r, const TimeSet& set);

// The name of the time an earlier-time event of the log stands for
// ("crtime", "mtime", "ctime", "atime").
const char* EarlierFieldName(std::uint32_t code);

// The earlier times of column `c` (Cell::kEarlier): in the text layouts
// (`rendered`) as the other times are shown, "crtime:2013/12/03
// 06:35:09.736378700 (UTC), mtime:..."; in CSV raw, "crtime:<FILETIME>
// mtime:<FILETIME> ..."; "none" for none, and, where the witness was not
// read, "null" (`null_text`) or nothing.
void AppendEarlierText(const Column& c, const FileTimestampRecord& r, const char* null_text,
                       bool rendered, std::string* out);
// The same in JSON: an array of {"time": name, "filetime": value}, or null.
void AppendEarlierJson(const Column& c, const FileTimestampRecord& r, std::string* out);

inline bool IsSignCell(Cell c) {
  return c == Cell::kAlerts || c == Cell::kNotes || c == Cell::kFinding;
}
// A column of the signs in the text layouts and CSV: the names of the
// alerts or of the notes, space-separated, or the finding ("null" for an
// entry found in slack).
void AppendSignText(const Column& c, const FileTimestampRecord& r, std::string* out);

// A count fact, or "null" where it was not read: the same in text and
// JSON.
void AppendCountOrNull(const FileTimestampRecord& r, Fact f, std::string* out);
// What a state column says of a record.
const char* StateText(const FileTimestampRecord& r);

// Visits the columns of `group` in a run showing `fields`, the signs among
// them where the group carries them.
template <typename Visit>
void ForEachColumn(const FieldGroup& group, RecordFields fields, Visit visit) {
  const bool signs = SignsGroup(fields) == &group;
  if (signs && group.signs_first)
    for (const Column& c : kSignColumns) visit(c);
  for (const Column& c : group.columns) visit(c);
  if (signs && !group.signs_first)
    for (const Column& c : kSignColumns) visit(c);
}

}  // namespace qst
