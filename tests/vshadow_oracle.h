// The stores of a volume as libvshadow reads them: what the tests hold
// qst's own reader of stores against. Errors as OpenShadowStores.
#pragma once

#include <string>

#include "probe/witnesses/snapshots/shadow-stores.h"

namespace qst {

bool OpenShadowStoresThroughLibrary(VolumeReader& volume, ShadowStores* stores,
                                    std::string* message);

}  // namespace qst
