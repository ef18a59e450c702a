// A FAT12, FAT16, FAT32 or exFAT volume: the input is the volume's bytes.
// Every folder it leads to is read, each name looked up again, and both
// folder decoders and the up-case table's run over the input itself.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "probe/fat/exfat-upcase.h"
#include "probe/fat/fat-volume.h"
#include "probe/memory-reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<qst::FatEntry> entries;
  qst::FolderDamage damage;
  qst::DecodeFatFolder(data, size, true, &entries);
  qst::DecodeExfatFolder(data, size, true, &entries, &damage);
  // The input as an up-case table whose checksum holds.
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < size; ++i) sum = ((sum >> 1) | (sum << 31)) + data[i];
  std::vector<std::uint8_t> table;
  if (qst::ExpandExfatUpcase(data, size, sum, &table) && table.size() != 131072) __builtin_trap();

  qst::MemoryVolumeReader reader(std::string_view(reinterpret_cast<const char*>(data), size));
  for (bool deleted : {false, true}) {
    std::unique_ptr<qst::FatVolume> volume;
    std::string error;
    if (!qst::FatVolume::Open(reader, {deleted}, &volume, &error)) return 0;
    std::vector<std::uint32_t> folders = {qst::FatVolume::kRoot};
    for (std::size_t i = 0; i < folders.size(); ++i) {
      for (std::uint32_t child : volume->Children(folders[i])) {
        const qst::FatVolume::Node& n = volume->node(child);
        if (volume->Lookup(folders[i], volume->Name(child)) == qst::FatVolume::kNone)
          __builtin_trap();
        (void)volume->Index(child);
        if (n.entry.folder()) folders.push_back(child);
      }
    }
    (void)qst::DescribeFatDamage("fuzz", volume->damage());
  }
  return 0;
}
