// Partition tables: the input is the start of a disk, read as MBR (with
// extended partitions) or GPT. Every partition found must lie in the disk.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "probe/memory-reader.h"
#include "probe/partitions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qst::MemoryVolumeReader disk(std::string_view(reinterpret_cast<const char*>(data), size));
  std::vector<qst::Partition> partitions;
  qst::ReadPartitionTable(disk, &partitions);
  for (const qst::Partition& p : partitions)
    if (p.length == 0 || p.start >= size / 512 || p.length > size / 512 - p.start) std::abort();
  return 0;
}
