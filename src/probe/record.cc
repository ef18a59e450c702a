#include "probe/record.h"

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

}  // namespace

FileTimestampRecord BuildRecord(std::string_view path, const RawFileInfo& raw, TimeForm form,
                                const LocalTimeConverter& zone) {
  FileTimestampRecord r;
  r.path = path;
  r.id = raw.file_index;
  r.identity = {raw.volume, raw.file_id};
  r.has_object_id = raw.has_object_id;
  if (r.has_object_id) {
    const FILE_OBJECTID_BUFFER& oid = raw.object_id;
    r.object_id = DecodeUuid(oid.ObjectId, form, zone);
    r.birth_object_id = DecodeUuid(oid.BirthObjectId, form, zone);
    FormatHex16(oid.BirthVolumeId, r.birth_volume_id);
  }
  r.atime = RenderTimestamp(raw.basic.LastAccessTime, form, zone);
  r.mtime = RenderTimestamp(raw.basic.LastWriteTime, form, zone);
  r.ctime = RenderTimestamp(raw.basic.ChangeTime, form, zone);
  r.crtime = RenderTimestamp(raw.basic.CreationTime, form, zone);
  r.type = ClassifyTimestampOrigin(r.atime, r.mtime, r.ctime, r.crtime);
  return r;
}

FileTimestampRecord ProbeRecord(Platform& platform, const std::string& path, TimeForm form) {
  RawFileInfo raw;
  if (int error = platform.Probe(path, &raw)) {
    FileTimestampRecord r;
    r.path = path;
    r.error = error;
    r.error_text = platform.ErrorText(error);
    return r;
  }
  return BuildRecord(path, raw, form, platform);
}

}  // namespace qst
