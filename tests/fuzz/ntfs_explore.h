// Opens a volume from bytes and visits everything a run could ask of it:
// every folder's listing, a lookup of every listed name, times and object
// IDs, the damage summary. Shared by the volume and MFT fuzz targets.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "probe/memory-reader.h"
#include "probe/ntfs/mft-record.h"
#include "probe/ntfs/ntfs-volume.h"
#include "probe/witnesses/index-entries/index-part.h"
#include "probe/witnesses/logfile/logfile-files.h"
#include "probe/witnesses/logfile/logfile-part.h"
#include "probe/witnesses/usn/usn-carve.h"
#include "probe/witnesses/usn/usn-part.h"

namespace qst::fuzz {

// Visits what a run could ask of a volume opened from `bytes`, as a volume
// (`bare_mft` false) or as a bare MFT, with its deleted records.
inline void ExploreVolume(std::string_view bytes, bool bare_mft = false) {
  MemoryVolumeReader reader(bytes);
  std::string error;
  NtfsReadOptions options;
  options.deleted = true;
  options.name_times = true;
  std::unique_ptr<NtfsVolume> volume;
  if (!(bare_mft ? NtfsVolume::OpenMft(reader, options, &volume, &error)
                 : NtfsVolume::Open(reader, options, &volume, &error)))
    return;
  std::vector<std::uint64_t> folders = {NtfsVolume::kRootRecord};
  std::set<std::uint64_t> seen = {NtfsVolume::kRootRecord};
  IndexBlockOwners owners;
  std::size_t budget = 1u << 16;
  NtfsVolume::NameBuffer buffer;
  while (!folders.empty() && budget > 0) {
    std::uint64_t folder = folders.back();
    folders.pop_back();
    for (std::span<const std::uint32_t> names :
         {volume->Children(folder), volume->DeletedChildren(folder)}) {
      for (std::uint32_t name : names) {
        if (--budget == 0) break;
        std::uint64_t record = volume->RecordOfName(name);
        if (volume->LookupName(folder, volume->NameText(name, buffer)) == NtfsVolume::kNone)
          __builtin_trap();
        NtfsVolume::Times times;
        if (!volume->NameTimesOf(name, &times)) __builtin_trap();
        FILE_OBJECTID_BUFFER id;
        volume->ObjectIdOf(record, &id);
        NtfsVolume::Times si;
        if (volume->HasTimes(record)) (void)volume->TimesOf(record, &si);
        if (volume->IsFolder(record) && seen.insert(record).second) folders.push_back(record);
      }
    }
    if (folder == NtfsVolume::kRootRecord && volume->IsFolder(NtfsVolume::kOrphanFolder))
      folders.push_back(NtfsVolume::kOrphanFolder);
    // Its index entries, live and carved from slack, each joined back.
    FolderIndex index;
    ReadFolderIndex(*volume, folder, true, &owners, &index);
    for (std::size_t i = 0; i < index.live_count(); ++i) {
      const FolderEntry e = index.Live(i);
      Facts facts;
      index.Join(RecordNumber(e.reference), SequenceNumber(e.reference), e.name, &facts);
      if (!facts.Has(Fact::kIndexCreation)) __builtin_trap();
    }
  }
  std::uint8_t volume_id[16];
  volume->VolumeObjectId(volume_id);
  // Its transaction log, its records joined as a run joins them.
  LogFileIndex log;
  LogFileScan scan;
  if (ReadVolumeLog(
          *volume,
          [&](const LogRecord& r) {
            log.Add(r, LogTargetRecord(r, volume->ClusterSize(), volume->MftRecordSize()));
          },
          &scan)) {
    log.Seal();
    Facts facts;
    std::vector<WitnessEvent> events;
    log.Join(NtfsVolume::kRootRecord, volume->SequenceOf(NtfsVolume::kRootRecord), false,
             NtfsTimes{}, &facts, &events);
  }

  // Its change journal, listed with the paths of then, and the records left
  // in its free clusters.
  JournalPaths paths(*volume);
  std::uint64_t damaged = 0;
  bool unreadable = false;
  if (ReadVolumeJournal(
          *volume, [&](const UsnRecord& r) { paths.Learn(r); }, &damaged, &unreadable))
    (void)ReadVolumeJournal(
        *volume, [&](const UsnRecord& r) { (void)paths.Of(r); }, &damaged, &unreadable);
  CarvedCount carved;
  CarveUsnRecords(
      *volume, ~FILETIME{0} >> 1, [](const UsnRecord& r) { (void)r; }, &carved);

  // The same volume read lazily, a few of the root's names looked up
  // through its index (and, when one is not there, the whole MFT).
  if (bare_mft) return;
  MemoryVolumeReader lazy_reader(bytes);
  NtfsReadOptions lazy_options;
  lazy_options.few_paths = true;
  std::unique_ptr<NtfsVolume> lazy;
  if (!NtfsVolume::Open(lazy_reader, lazy_options, &lazy, &error)) return;
  int asked = 0;
  for (std::uint32_t name : volume->Children(NtfsVolume::kRootRecord)) {
    if (++asked > 8) break;
    std::u16string text(volume->NameText(name, buffer));
    std::uint64_t record = lazy->Lookup(NtfsVolume::kRootRecord, text);
    // A name the whole read lists for a file in use is found alone too, as
    // a file in use.
    if (volume->InUse(volume->RecordOfName(name)) &&
        (record == NtfsVolume::kNone || !volume->InUse(record)))
      __builtin_trap();
    if (record != NtfsVolume::kNone && lazy->IsFolder(record)) lazy->Lookup(record, u"x");
  }
  lazy->Lookup(NtfsVolume::kRootRecord, u"not there");
  (void)DescribeDamage("fuzz", volume->DamageFound());
}

}  // namespace qst::fuzz
