// The transaction log's part: the volume's own $LogFile, or one collected
// apart, read whole into an index by MFT record and joined to each file;
// and what a listing of the log needs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "probe/ntfs/ntfs-volume.h"
#include "probe/witnesses/logfile/logfile.h"
#include "probe/witnesses/parts.h"

namespace qst {

bool OpenLogPart(const PartSource& source, std::unique_ptr<WitnessPart>* part,
                 std::string* message);

// Reads the volume's transaction log, $LogFile (record 2), giving `visit`
// each record, oldest first; what the reader met in `*scan`. False when
// the volume has none to read (a bare MFT has no clusters).
bool ReadVolumeLog(const NtfsVolume& volume, const std::function<void(const LogRecord&)>& visit,
                   LogFileScan* scan);

// Reads the log that --logfile-only lists: `file` where one was collected
// apart, else the volume's own, giving `visit` each record with the MFT
// record it changes (by the sizes the log's records state, else those of
// `volume`; none without either); what the reader met in `*scan`. False
// when there is no log to read. `volume` is null for a log listed alone.
using LogTargetVisitor = std::function<void(const LogRecord& record, std::uint64_t target)>;
bool ListLogFile(NtfsVolume* volume, VolumeReader* file, const LogTargetVisitor& visit,
                 LogFileScan* scan);

// The lister of --logfile-only: the volume's log, or the one --logfile=
// names (then read without a volume too).
bool OpenLogLister(const ListerSource& source, std::unique_ptr<WitnessLister>* lister,
                   std::string* message);
// The lines that say what of a log read (`found`: there was one to read)
// was lost; empty when nothing.
std::string DescribeLogRead(const std::string& name, bool found, const LogFileScan& scan);
// Opens a $LogFile collected apart; false with `*message` when it cannot.
bool OpenLogFile(const std::string& path, FileOpener open, Platform& host,
                 std::unique_ptr<VolumeReader>* file, std::string* message);

}  // namespace qst
