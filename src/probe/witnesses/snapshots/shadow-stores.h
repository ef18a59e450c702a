// The volume shadow copies of an NTFS volume: the stores Windows keeps in
// its System Volume Information, each the whole volume as it was when the
// store was made, read by our own reader of stores (ntfs/shadow-store.h)
// on every build (shadow-storage.cc).
//
// Errors: an opener of evidence; false comes with `*message` saying why the
// stores cannot be looked for at all.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "probe/volume-reader.h"
#include "time/timestamp.h"

namespace qst {

// One store: its number (1 for the first, as Windows and libvshadow count
// them), when it was made, and the volume's bytes as they were then.
struct ShadowStore {
  int number = 0;
  FILETIME created = 0;
  std::unique_ptr<VolumeReader> reader;
};

struct ShadowStores {
  std::vector<ShadowStore> stores;  // oldest first
  // The stores that cannot be read, each with why.
  struct Unreadable {
    int number = 0;
    bool has_created = false;
    FILETIME created = 0;
    std::string why;
  };
  std::vector<Unreadable> unreadable;
  // The oldest stores past the most a volume keeps, not read.
  std::size_t beyond = 0;
};

// The most stores Windows keeps for a volume.
inline constexpr std::size_t kMaxShadowStores = 512;

// Opens the stores of the volume that `volume` reads, which must outlive
// them. True, with none, for a volume without stores.
bool OpenShadowStores(VolumeReader& volume, ShadowStores* stores, std::string* message);

}  // namespace qst
