// The $LogFile reader: the input is a whole log, read through its restart
// pages, its record pages and the records over them; every record is named
// and joined to the files it changes, by the sizes the log's own images
// state where they state them.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "probe/witnesses/logfile/logfile-files.h"
#include "probe/witnesses/logfile/logfile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qst::LogFileIndex index;
  qst::LogGeometry geometry;
  const qst::LogFileScan scan = qst::ReadLogFile(
      size,
      [&](std::uint64_t offset, std::uint8_t* out, std::size_t n) {
        if (offset > size || n > size - offset) return false;
        std::memcpy(out, data + offset, n);
        return true;
      },
      [&](const qst::LogRecord& r) {
        (void)qst::LogOperationName(r.redo);
        (void)qst::TimesOfLogRecord(r, true);
        qst::LearnLogGeometry(r, &geometry);
        index.Add(r, geometry.known()
                         ? qst::LogTargetRecord(r, geometry.cluster_size, geometry.record_size)
                         : qst::LogTargetRecord(r, 4096, 1024));
      });
  index.Seal();
  (void)qst::DescribeLogDamage("fuzz", scan);
  for (std::uint64_t record : {0, 9, 11, 40}) {
    qst::Facts facts;
    std::vector<qst::WitnessEvent> events;
    index.Join(record, 1, record == 9, qst::NtfsTimes{}, &facts, &events);
  }
  return 0;
}
