#include "probe/record.h"

#include <initializer_list>

#include "probe/evidence.h"
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

// Some times are the same for every file (the journal's first and last):
// each is rendered once, while it stays the same.
const RenderedTimestamp& RenderOnce(FILETIME raw, TimeForm form, const LocalTimeConverter& zone,
                                    Fact fact) {
  struct Last {
    bool valid = false;
    FILETIME raw = 0;
    bool utc = false, iso = false;
    const LocalTimeConverter* zone = nullptr;
    RenderedTimestamp rendered;
  };
  thread_local std::array<Last, kFactCount> last;
  Last& l = last[Index(fact)];
  if (!l.valid || l.raw != raw || l.utc != form.utc || l.iso != form.iso || l.zone != &zone) {
    l = {true, raw, form.utc, form.iso, &zone, RenderTimestamp(raw, form, zone)};
  }
  return l.rendered;
}

// Renders the known time facts of the witnesses the run shows; a value
// equal to one of the record's own times is copied.
void RenderFacts(const RawFileInfo& raw, TimeForm form, const LocalTimeConverter& zone,
                 FileTimestampRecord* r) {
  for (int i = 0; i < kFactCount; ++i) {
    const Fact f = static_cast<Fact>(i);
    if (!kFacts[i].shown || !r->fields.has(kFacts[i].witness) || !raw.facts.Has(f)) continue;
    r->facts.Set(f, raw.facts.Get(f));
    if (kFacts[i].kind != FactKind::kTime) continue;
    const FILETIME t = raw.facts.Get(f);
    RenderedTimestamp& out = r->fact_times[kTimeSlot[i]];
    if (f == Fact::kUsnFirst || f == Fact::kUsnLast) {
      out = RenderOnce(t, form, zone, f);
      continue;
    }
    const RenderedTimestamp* same = nullptr;
    for (const RenderedTimestamp* own : {&r->atime, &r->mtime, &r->ctime, &r->crtime})
      if (own->raw == t && !r->slack) same = own;
    out = same != nullptr ? *same : RenderTimestamp(t, form, zone);
  }
}

}  // namespace

const char* FileTimestampRecord::Verdict(Fact access) const {
  if (!facts.Has(access)) return nullptr;
  const int a = Index(access);
  return ClassifyTimestampOrigin(Time(access), Time(static_cast<Fact>(a + 1)),
                                 Time(static_cast<Fact>(a + 2)), Time(static_cast<Fact>(a + 3)));
}

FileTimestampRecord BuildRecord(std::string_view path, const RawFileInfo& raw, TimeForm form,
                                const LocalTimeConverter& zone, RecordFields fields) {
  FileTimestampRecord r;
  r.fields = fields;
  r.deleted = raw.deleted;
  r.slack = raw.slack;
  if ((fields.alerts() || fields.report) && !raw.slack) {
    r.signs = ReadSigns(raw);
    r.witnessed = SignWitnesses(raw);
    r.lost = raw.witnesses_lost & ~r.witnessed;
  }
  for (const WitnessEvent& e : raw.events) {
    if (!fields.has(e.witness)) continue;
    r.events.push_back(e);
    if (DescriptorOf(e.witness).earlier_times)
      r.earlier_times.push_back(RenderTimestamp(e.time, form, zone));
  }
  r.path = path;
  r.id = raw.file_index;
  r.id_lost = raw.index_lost;
  r.identity = {raw.volume, raw.file_id};
  if (raw.facts.Has(Fact::kSequence) && !raw.slack && !raw.absent)
    r.file_reference = (raw.file_id & 0xFFFFFFFFFFFF) | raw.facts.Get(Fact::kSequence) << 48;
  r.folder = (raw.basic.FileAttributes & kFileAttributeDirectory) != 0;
  r.has_size = raw.has_size;
  r.size = raw.size;
  r.has_object_id = raw.has_object_id;
  r.has_birth_ids = raw.has_birth_ids;
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
  RenderFacts(raw, form, zone, &r);
  if (!raw.slack) r.type = ClassifyTimestampOrigin(r.atime, r.mtime, r.ctime, r.crtime);
  return r;
}

FileTimestampRecord ProbeRecord(Platform& platform, const std::string& path, TimeForm form,
                                RecordFields fields, const DirEntry* entry, ProbeScratch* scratch) {
  RawFileInfo raw;
  int error = entry == nullptr     ? platform.Probe(path, &raw)
              : scratch != nullptr ? platform.ProbeEntryWith(path, *entry, &raw, scratch)
                                   : platform.ProbeEntry(path, *entry, &raw);
  std::vector<RawFileInfo> states;
  Evidence* evidence = platform.VolumeEvidence();
  // An entry found in an index's slack has no file to follow into the
  // copies.
  if (fields.has(Witness::kSnapshots) && evidence != nullptr && !raw.slack) {
    evidence->ProbeSnapshots(path, entry, error == 0 && !raw.absent ? &raw : nullptr, &states);
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
    r.states.push_back(BuildRecord(path, state, form, platform, fields));
  return r;
}

}  // namespace qst
