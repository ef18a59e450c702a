#include "probe/report.h"

#include "cli/entry.h"
#include "time/classify.h"

namespace qst {
namespace {

void DecodeObjectId(const std::uint8_t (&uuid)[16], ObjectIdInfo* info) {
  FormatHex16(uuid, info->hex);
  info->clockseq = DecodeClockSeqAndNode(uuid, info->node);
}

RenderedTimestamp RenderObjectIdTime(const std::uint8_t (&uuid)[16], const RunOptions& options,
                                     const LocalTimeConverter& zone, Output& out) {
  std::int64_t time = 0;
  if (ObjectIdTimeToFileTime(uuid, &time) != 0) out.Write(kUnknownErrorLine);
  return RenderTimestamp(static_cast<FILETIME>(time), options, zone);
}

}  // namespace

FileTimestampRecord BuildRecord(const std::string& path, const RawFileInfo& raw,
                                const RunOptions& options, const LocalTimeConverter& zone,
                                Output& out) {
  FileTimestampRecord r;
  r.path = &path;
  r.id = raw.file_index;
  r.has_object_id = raw.has_object_id;
  if (r.has_object_id) {
    const FILE_OBJECTID_BUFFER& oid = raw.object_id;
    r.otime = RenderObjectIdTime(oid.ObjectId, options, zone, out);
    r.botime = RenderObjectIdTime(oid.BirthObjectId, options, zone, out);
    DecodeObjectId(oid.ObjectId, &r.object_id);
    DecodeObjectId(oid.BirthObjectId, &r.birth_object_id);
    FormatHex16(oid.BirthVolumeId, r.birth_volume_id);
  }
  r.atime = RenderTimestamp(raw.basic.LastAccessTime, options, zone);
  r.mtime = RenderTimestamp(raw.basic.LastWriteTime, options, zone);
  r.ctime = RenderTimestamp(raw.basic.ChangeTime, options, zone);
  r.crtime = RenderTimestamp(raw.basic.CreationTime, options, zone);
  return r;
}

void PrintRecord(const FileTimestampRecord& r, const RunOptions& options, Output& out) {
  const int id = static_cast<int>(r.id);
  const char* path = r.path->c_str();
  if (options.csv == 1) {
    out.Printf("%s |", path);
    out.Printf("%d |", id);
    for (const RenderedTimestamp* t : {&r.atime, &r.mtime, &r.ctime, &r.crtime})
      out.Printf("%s %s |", t->text, t->zone);
    out.Printf("%s |", ClassifyTimestampOrigin(r.atime, r.mtime, r.ctime, r.crtime));
    if (!r.has_object_id) {
      out.Write("null | null | null | null | null | null | null | null | null\n");
      return;
    }
    out.Printf("%s |", r.object_id.hex);
    out.Printf("%s %s |", r.otime.text, r.otime.zone);
    out.Printf("%d (%04x) |", r.object_id.clockseq, r.object_id.clockseq);
    out.Printf("%s |", r.object_id.node);
    out.Printf("%s |", r.birth_object_id.hex);
    out.Printf("%s %s |", r.botime.text, r.botime.zone);
    out.Printf("%d (%04x) |", r.birth_object_id.clockseq, r.birth_object_id.clockseq);
    out.Printf("%s |", r.birth_object_id.node);
    out.Printf("%s \n", r.birth_volume_id);
    return;
  }

  out.Printf("\n  path: %s \n", path);
  out.Printf("    ID: %d \n", id);
  out.Printf(" atime: %s %s \n", r.atime.text, r.atime.zone);
  out.Printf(" mtime: %s %s \n", r.mtime.text, r.mtime.zone);
  out.Printf(" ctime: %s %s \n", r.ctime.text, r.ctime.zone);
  out.Printf("crtime: %s %s \n", r.crtime.text, r.crtime.zone);
  out.Printf("  type: %s \n", ClassifyTimestampOrigin(r.atime, r.mtime, r.ctime, r.crtime));
  if (!r.has_object_id) return;
  out.Printf("\n   OID: %s \n", r.object_id.hex);
  out.Printf(" otime: %s %s \n", r.otime.text, r.otime.zone);
  out.Printf("  oseq: %d (%04x) oMAC: %s \n", r.object_id.clockseq, r.object_id.clockseq,
             r.object_id.node);
  out.Printf("\n  BOID: %s \n", r.birth_object_id.hex);
  out.Printf("botime: %s %s \n", r.botime.text, r.botime.zone);
  out.Printf(" boseq: %d (%04x) boMAC: %s \n", r.birth_object_id.clockseq,
             r.birth_object_id.clockseq, r.birth_object_id.node);
  out.Printf("\n  BVID: %s \n", r.birth_volume_id);
  out.Write("\n");
}

int ProcessFile(const std::string& path, Context& context, RawFileInfo* probed) {
  RawFileInfo raw;
  if (int error = context.platform->Probe(path, &raw)) {
    PrintSystemError(path, error, context);
    return -1;
  }
  FileTimestampRecord record =
      BuildRecord(path, raw, context.options, *context.platform, context.out);
  PrintRecord(record, context.options, context.out);
  if (probed != nullptr) *probed = raw;
  return 0;
}

}  // namespace qst
