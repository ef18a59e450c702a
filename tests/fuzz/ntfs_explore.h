// Opens a volume from bytes and visits everything a run could ask of it:
// every folder's listing, a lookup of every listed name, times and object
// IDs, the damage summary. Shared by the volume and MFT fuzz targets.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "probe/ntfs/memory-reader.h"

namespace qst::fuzz {

inline void ExploreVolume(std::string_view bytes) {
  MemoryVolumeReader reader(bytes);
  std::string error;
  std::unique_ptr<NtfsVolume> volume = NtfsVolume::Open(reader, &error);
  if (volume == nullptr) return;
  std::vector<std::uint64_t> folders = {NtfsVolume::kRootRecord};
  std::set<std::uint64_t> seen = {NtfsVolume::kRootRecord};
  std::size_t budget = 1u << 16;
  while (!folders.empty() && budget > 0) {
    std::uint64_t folder = folders.back();
    folders.pop_back();
    for (std::uint32_t name : volume->Children(folder)) {
      if (--budget == 0) break;
      std::uint64_t record = volume->RecordOfName(name);
      if (volume->Lookup(folder, volume->NameText(name)) == NtfsVolume::kNone) __builtin_trap();
      FILE_OBJECTID_BUFFER id;
      volume->ObjectIdOf(record, &id);
      if (volume->HasTimes(record)) (void)volume->TimesOf(record);
      if (volume->IsFolder(record) && seen.insert(record).second) folders.push_back(record);
    }
  }
  (void)DescribeDamage("fuzz", volume->DamageFound());
}

}  // namespace qst::fuzz
