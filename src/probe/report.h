// The file report: one probe per path, its record, and the two layouts.
#pragma once

#include <string>

#include "cli/context.h"
#include "objectid/objectid.h"
#include "probe/platform.h"
#include "time/timestamp.h"

namespace qst {

// Everything printed for one path.
struct FileTimestampRecord {
  const std::string* path = nullptr;
  std::uint32_t id = 0;
  bool has_object_id = false;
  RenderedTimestamp atime, mtime, ctime, crtime;
  RenderedTimestamp otime, botime;  // only with an object ID
  ObjectIdInfo object_id;
  ObjectIdInfo birth_object_id;
  char birth_volume_id[33] = {};
};

// Fills a record from the raw values of a probe. For each object-identifier
// time that does not lie after 1601, writes "Unknown Error" to `out` first.
FileTimestampRecord BuildRecord(const std::string& path, const RawFileInfo& raw,
                                const RunOptions& options, const LocalTimeConverter& zone,
                                Output& out);

// Writes the record as one row (`csv`) or as a labelled block.
void PrintRecord(const FileTimestampRecord& record, const RunOptions& options, Output& out);

// Probes `path` and prints its record, or the system-error line when it
// cannot be opened. Returns 0 or -1 accordingly; on success `probed`, when
// given, receives the raw values.
int ProcessFile(const std::string& path, Context& context, RawFileInfo* probed = nullptr);

}  // namespace qst
