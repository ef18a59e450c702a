// The texts the program shows about itself: the usage text and the version.
#pragma once

#include "cli/output.h"

namespace qst {

void PrintUsage(Output& out);

// "qst 1.4" and what the build's image layer reads (`image_formats`, null
// when it reads no images).
void PrintVersion(Output& out, const char* image_formats);

}  // namespace qst
