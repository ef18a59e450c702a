// Shadow copies read by our own reader of stores (ntfs/shadow-store.h),
// also for runs that name the volume Windows was told to keep the copies'
// data on (vssadmin add shadowstorage /for=C: /on=D:). The copied volume's
// catalog says which stores were made and when (its type 2 entries: a
// volume that keeps other volumes' stores holds only their type 3 ones);
// the catalog of the volume that holds their data says where it lies
// there. Platform-free: both builds.
//
// Errors: an opener of evidence, as OpenShadowStores.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "probe/witnesses/snapshots/shadow-stores.h"

namespace qst {

// Opens the stores of `volume` whose data lies on it or on one of
// `storage` (the volumes of the image named `storage_name`: the one whose
// catalog holds the most of them is read).
bool OpenShadowStoresWith(VolumeReader& volume,
                          const std::vector<std::shared_ptr<VolumeReader>>& storage,
                          const std::string& storage_name, ShadowStores* stores,
                          std::string* message);

}  // namespace qst
