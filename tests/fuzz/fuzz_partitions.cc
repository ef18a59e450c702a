// Partition tables: the input is the start of a disk, read as MBR (with
// extended partitions) or GPT. Every partition found must lie in the disk;
// what each holds is told by the marks of other formats.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "probe/file-systems.h"
#include "probe/memory-reader.h"
#include "probe/partitions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qst::MemoryVolumeReader disk(std::string_view(reinterpret_cast<const char*>(data), size));
  std::vector<qst::Partition> partitions;
  qst::ReadPartitionTable(disk, &partitions);
  for (const qst::Partition& p : partitions) {
    if (p.length == 0 || p.start >= size / 512 || p.length > size / 512 - p.start) std::abort();
    (void)qst::FileSystemAt(disk, p.start * 512);
  }
  (void)qst::WhatToDoWith(qst::FileSystemAt(disk, 0));
  (void)qst::OnlyZerosAt(disk, size / 2);
  return 0;
}
