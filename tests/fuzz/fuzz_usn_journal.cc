// The USN journal reader: the input is a $J stream, read whole and as the
// data of runs that start with a sparse stretch; every record found is
// joined to the index and its reasons named.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "probe/memory-reader.h"
#include "probe/ntfs/usn-journal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qst::UsnJournalIndex index;
  auto add = [&](const qst::UsnRecord& r) {
    index.Add(r);
    (void)qst::UsnReasonNames(r.reason);
  };
  qst::ForEachUsnRecord(data, size, add);
  qst::MemoryVolumeReader reader(std::string_view(reinterpret_cast<const char*>(data), size));
  bool read = false;
  qst::ReadUsnJournal(reader, {{qst::kSparse, 1ull << 40}, {0, size}}, (1ull << 40) + size, add,
                      &read);
  qst::FILETIME first = 0, last = 0;
  index.Coverage(&first, &last);
  (void)index.Find(30, 1);
  return 0;
}
