// The texts the program shows about itself: the usage text and the version.
#pragma once

#include "cli/output.h"

namespace qst {

// The original usage text (-h, usage errors).
void PrintUsage(Output& out);

// --help: what this build does, its options grouped with their long names,
// the forms and the signs, for `program` as it was invoked; `image_formats`
// as for PrintVersion.
void PrintHelp(Output& out, const char* program, const char* image_formats);

// "qst 1.4" and what the build's image layer reads (`image_formats`, null
// when it reads no images).
void PrintVersion(Output& out, const char* image_formats);

}  // namespace qst
