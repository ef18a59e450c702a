// Builds without the image layer read no disk images.
#include "probe/evidence.h"

namespace qst {

ImageOpener NativeImageOpener() { return nullptr; }
const char* NativeImageFormats() { return nullptr; }

}  // namespace qst
