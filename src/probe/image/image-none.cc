// Builds without the image layer read no disk images.
#include "cli/context.h"

namespace qst {

ImageOpener NativeImageOpener() { return nullptr; }

}  // namespace qst
