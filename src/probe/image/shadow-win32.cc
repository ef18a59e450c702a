// Windows builds carry no libvshadow: there each shadow copy is a device of
// its own, opened with -d like a volume.
#include "probe/image/shadow-stores.h"

namespace qst {

bool OpenShadowStores(VolumeReader&, ShadowStores*, std::string* message) {
  *message =
      "this build reads no shadow-copy stores; open each one as a volume of its own, "
      "-d \\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopyN (vssadmin list shadows lists them)";
  return false;
}

}  // namespace qst
