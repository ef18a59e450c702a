// The entry point on Windows: the wide command line, carried on as WTF-8.
#include <string>
#include <vector>

#include "cli/program.h"
#include "probe/win32/wide-win32.h"

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> arguments;
  arguments.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) arguments.push_back(qst::FromWide(argv[i]));
  return qst::RunProgram(std::move(arguments));
}
