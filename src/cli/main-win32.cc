// The entry point on Windows: the wide command line, carried on as WTF-8.
#include <windows.h>

#include <string>
#include <vector>

#include "cli/output.h"
#include "cli/program.h"
#include "probe/win32/wide-win32.h"

namespace {

// Ctrl-C erases the progress line; the system then ends the program.
BOOL WINAPI EraseStatus(DWORD) {
  char blank[258];
  if (std::size_t length = qst::StatusEraser(blank, sizeof blank)) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), blank, static_cast<DWORD>(length), &written, nullptr);
  }
  return FALSE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  SetConsoleCtrlHandler(EraseStatus, TRUE);
  std::vector<std::string> arguments;
  arguments.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) arguments.push_back(qst::FromWide(argv[i]));
  return qst::RunProgram(std::move(arguments));
}
