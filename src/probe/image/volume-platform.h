// The platform over an NTFS volume read from its bytes: paths in Windows
// form ("C:\\dir\\file", "\\dir\\file"), listings in the volume's collation
// order, and errors as Windows gives them. Platform-free: each build's image
// layer opens the volume and hands it over.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "probe/image/windows-platform.h"
#include "probe/ntfs/ntfs-volume.h"
#include "probe/platform.h"
#include "probe/witnesses/parts.h"

namespace qst {

// What a run reads beside the volume: the parts joined to each file, or
// the lister of the witness whose own records it lists.
struct VolumeWitnesses {
  std::vector<std::unique_ptr<WitnessPart>> parts;
  std::unique_ptr<WitnessLister> lister;
  std::optional<Witness> listed;  // whose records `lister` lists
};

// The volume's shadow copies that -S reads, oldest first, each read as a
// volume of its own, and the lines that tell, at the end of the run, what
// of them could not be read.
struct Snapshot {
  int store = 0;
  FILETIME created = 0;
  std::unique_ptr<VolumeReader> reader;
  std::unique_ptr<NtfsVolume> volume;
};
struct SnapshotSource {
  std::vector<Snapshot> stores;
  std::string report;
  // The line of `report` that says the volume has no shadow copies.
  std::string absence;
};

// The platform of `volume`, read through `reader`, with its evidence;
// `host` serves what lies outside the image (list files, the local zone),
// its errors told in Windows terms by `to_windows`; `image_name` names the
// image in messages.
std::unique_ptr<Platform> MakeVolumePlatform(std::unique_ptr<VolumeReader> reader,
                                             std::unique_ptr<NtfsVolume> volume, Platform& host,
                                             HostErrorToWindows to_windows, std::string image_name,
                                             VolumeWitnesses witnesses = {},
                                             SnapshotSource snapshots = {});

// A platform that only lists a witness's records collected apart (the
// journal of --usn-journal, the log of --logfile, without -d) through
// `lister`; all else is `host`'s.
std::unique_ptr<Platform> MakeJournalPlatform(std::unique_ptr<WitnessLister> lister,
                                              Platform& host);

}  // namespace qst
