#include "probe/record.h"

#include <cstring>
#include <initializer_list>

#include "time/classify.h"

namespace qst {
namespace {

DecodedUuid DecodeUuid(const std::uint8_t (&uuid)[16], TimeForm form,
                       const LocalTimeConverter& zone) {
  DecodedUuid d;
  FormatHex16(uuid, d.fields.hex);
  d.fields.clockseq = DecodeClockSeqAndNode(uuid, d.fields.node);
  std::int64_t time = 0;
  d.time_known = ObjectIdTimeToFileTime(uuid, &time) == 0;
  d.time = RenderTimestamp(static_cast<FILETIME>(time), form, zone);
  return d;
}

// The journal's first and last times are the same for every file: each is
// rendered once, while it stays the same.
const RenderedTimestamp& RenderOnce(FILETIME raw, TimeForm form, const LocalTimeConverter& zone,
                                    int slot) {
  struct Last {
    bool valid = false;
    FILETIME raw = 0;
    bool utc = false, iso = false;
    const LocalTimeConverter* zone = nullptr;
    RenderedTimestamp rendered;
  };
  thread_local Last last[2];
  Last& l = last[slot];
  if (!l.valid || l.raw != raw || l.utc != form.utc || l.iso != form.iso || l.zone != &zone) {
    l = {true, raw, form.utc, form.iso, &zone, RenderTimestamp(raw, form, zone)};
  }
  return l.rendered;
}

}  // namespace

std::string ForgeryIndicators(const RawFileInfo& raw) {
  const FILE_BASIC_INFO& si = raw.basic;
  std::string signs;
  auto add = [&](const char* sign) { signs.append(signs.empty() ? "" : " ").append(sign); };
  if (raw.has_name_times) {
    const FILE_BASIC_INFO& fn = raw.name_times;
    if (si.CreationTime < fn.CreationTime) add("SI<FN");
    auto whole = [](FILETIME t) { return t % kTicksPerSecond == 0; };
    bool si_whole = whole(si.CreationTime) && whole(si.LastWriteTime) && whole(si.ChangeTime) &&
                    whole(si.LastAccessTime);
    bool fn_whole = whole(fn.CreationTime) && whole(fn.LastWriteTime) && whole(fn.ChangeTime) &&
                    whole(fn.LastAccessTime);
    if (si_whole && !fn_whole) add("SI-seconds");
  }
  if (si.LastWriteTime < si.CreationTime) add("copied");
  const FILE_OBJECTID_BUFFER& oid = raw.object_id;
  std::int64_t made = 0;
  constexpr std::int64_t kDay = 86400 * kTicksPerSecond;
  if (raw.has_object_id && raw.has_volume_id &&
      std::memcmp(oid.BirthObjectId, oid.ObjectId, 16) == 0 &&
      std::memcmp(oid.BirthVolumeId, raw.volume_id, 16) == 0 &&
      ObjectIdTimeToFileTime(oid.ObjectId, &made) == 0 && si.CreationTime < (1ull << 63) &&
      made < static_cast<std::int64_t>(si.CreationTime) - kDay)
    add("OID<SI");
  if (raw.has_usn) {
    constexpr FILETIME kSlack = 2 * kTicksPerSecond;
    if (raw.usn.has_created && raw.usn.created > kSlack &&
        si.CreationTime < raw.usn.created - kSlack)
      add("SI<USN");
    if (raw.usn.times_set_alone) add("times-set");
  }
  if (!raw.history.empty()) {
    // Each state against every later one, the volume's own last.
    bool moved = false;
    for (std::size_t i = 0; i < raw.history.size() && !moved; ++i) {
      const FILE_BASIC_INFO& then = raw.history[i];
      for (std::size_t j = i + 1; j <= raw.history.size() && !moved; ++j) {
        const FILE_BASIC_INFO& later = j < raw.history.size() ? raw.history[j] : si;
        moved = later.CreationTime != then.CreationTime ||
                later.LastWriteTime < then.LastWriteTime || later.ChangeTime < then.ChangeTime;
      }
    }
    if (moved) add("history");
  }
  return signs;
}

FileTimestampRecord BuildRecord(std::string_view path, const RawFileInfo& raw, TimeForm form,
                                const LocalTimeConverter& zone, RecordFields fields) {
  FileTimestampRecord r;
  r.fields = fields;
  r.deleted = raw.deleted;
  if (fields.alerts() || fields.report) r.alerts = ForgeryIndicators(raw);
  if (fields.usn && raw.has_usn) {
    const UsnFileInfo& u = raw.usn;
    r.has_usn = true;
    // Only times the journal holds are rendered.
    r.has_usn_created = u.has_created;
    if (u.has_created) r.usn_created = RenderTimestamp(u.created, form, zone);
    r.has_usn_times_set = u.has_times_set;
    if (u.has_times_set) r.usn_times_set = RenderTimestamp(u.times_set, form, zone);
    r.has_usn_coverage = u.has_coverage;
    if (u.has_coverage) {
      r.usn_first = RenderOnce(u.first, form, zone, 0);
      r.usn_last = RenderOnce(u.last, form, zone, 1);
    }
    r.usn_records = u.records;
    r.usn_events = u.events;
  }
  r.in_snapshot = raw.in_snapshot;
  r.snapshot_store = raw.snapshot_store;
  if (raw.in_snapshot) r.snapshot_created = RenderTimestamp(raw.snapshot_created, form, zone);
  r.path = path;
  r.id = raw.file_index;
  r.identity = {raw.volume, raw.file_id};
  r.folder = (raw.basic.FileAttributes & kFileAttributeDirectory) != 0;
  r.has_size = raw.has_size;
  r.size = raw.size;
  r.has_object_id = raw.has_object_id;
  if (r.has_object_id) {
    const FILE_OBJECTID_BUFFER& oid = raw.object_id;
    r.object_id = DecodeUuid(oid.ObjectId, form, zone);
    r.birth_object_id = DecodeUuid(oid.BirthObjectId, form, zone);
    FormatHex16(oid.BirthVolumeId, r.birth_volume_id);
  }
  // A file's times are often equal: each value is rendered once.
  auto render = [&](FILETIME raw_time, std::initializer_list<const RenderedTimestamp*> done) {
    for (const RenderedTimestamp* before : done)
      if (before->raw == raw_time) return *before;
    return RenderTimestamp(raw_time, form, zone);
  };
  r.atime = RenderTimestamp(raw.basic.LastAccessTime, form, zone);
  r.mtime = render(raw.basic.LastWriteTime, {&r.atime});
  r.ctime = render(raw.basic.ChangeTime, {&r.atime, &r.mtime});
  r.crtime = render(raw.basic.CreationTime, {&r.atime, &r.mtime, &r.ctime});
  if (fields.name_times && raw.has_name_times) {
    const FILE_BASIC_INFO& fn = raw.name_times;
    r.has_name_times = true;
    r.name_atime = render(fn.LastAccessTime, {&r.atime, &r.mtime, &r.ctime, &r.crtime});
    r.name_mtime = render(fn.LastWriteTime, {&r.name_atime, &r.mtime, &r.crtime, &r.atime});
    r.name_ctime = render(fn.ChangeTime, {&r.name_atime, &r.name_mtime, &r.ctime, &r.crtime});
    r.name_crtime =
        render(fn.CreationTime, {&r.name_atime, &r.name_mtime, &r.name_ctime, &r.crtime});
    r.name_type = ClassifyTimestampOrigin(r.name_atime, r.name_mtime, r.name_ctime, r.name_crtime);
  }
  r.type = ClassifyTimestampOrigin(r.atime, r.mtime, r.ctime, r.crtime);
  return r;
}

FileTimestampRecord ProbeRecord(Platform& platform, const std::string& path, TimeForm form,
                                RecordFields fields, const DirEntry* entry, ProbeScratch* scratch) {
  RawFileInfo raw;
  int error = entry == nullptr     ? platform.Probe(path, &raw)
              : scratch != nullptr ? platform.ProbeEntryWith(path, *entry, &raw, scratch)
                                   : platform.ProbeEntry(path, *entry, &raw);
  std::vector<RawFileInfo> states;
  if (fields.snapshots) {
    platform.ProbeSnapshots(path, entry, error == 0 && !raw.absent ? &raw : nullptr, &states);
    for (const RawFileInfo& state : states)
      if (state.same_file) raw.history.push_back(state.basic);
  }
  // Built in place: a record is large, and this runs for every file.
  FileTimestampRecord r = [&] {
    if (error == 0 && !raw.absent) return BuildRecord(path, raw, form, platform, fields);
    FileTimestampRecord failed;
    failed.path = path;
    failed.fields = fields;
    if (error != 0) {
      failed.error = error;
      failed.error_text = platform.ErrorText(error);
    } else {
      failed.absent = true;
      failed.identity = {raw.volume, raw.file_id};
    }
    return failed;
  }();
  for (const RawFileInfo& state : states)
    r.snapshots.push_back(BuildRecord(path, state, form, platform, fields));
  return r;
}

}  // namespace qst
