// The $LogFile reader: the input is a whole log, read through its restart
// pages, its record pages and the records over them; every record is named
// and joined to the files it changes.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "probe/ntfs/logfile-files.h"
#include "probe/ntfs/logfile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qst::LogFileIndex index;
  const qst::LogFileScan scan = qst::ReadLogFile(
      size,
      [&](std::uint64_t offset, std::uint8_t* out, std::size_t n) {
        if (offset > size || n > size - offset) return false;
        std::memcpy(out, data + offset, n);
        return true;
      },
      [&](const qst::LogRecord& r) {
        (void)qst::LogOperationName(r.redo);
        index.Add(r, qst::LogTargetRecord(r, 4096, 1024));
      });
  index.Seal();
  (void)qst::DescribeLogDamage("fuzz", scan);
  for (std::uint64_t record : {0, 9, 11, 40}) {
    qst::Facts facts;
    std::vector<qst::WitnessEvent> events;
    index.Join(record, 1, qst::NtfsTimes{}, &facts, &events);
  }
  return 0;
}
