// The whole program over the command line's arguments (argument 0 the
// program's name), as the platform's entry point hands them over. Returns the
// exit status.
#pragma once

#include <string>
#include <vector>

namespace qst {

int RunProgram(std::vector<std::string> arguments);

}  // namespace qst
