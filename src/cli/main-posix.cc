// The entry point on POSIX systems: the arguments are the system's bytes.
#include <signal.h>
#include <unistd.h>

#include "cli/output.h"
#include "cli/program.h"

namespace {

// An interrupt erases the progress line before the program ends as the
// signal ends it.
void EraseStatusAndEnd(int signal_number) {
  char blank[258];
  std::size_t width = qst::ShownStatusWidth();
  if (width != 0) {
    if (width > sizeof blank - 2) width = sizeof blank - 2;
    blank[0] = '\r';
    for (std::size_t i = 1; i <= width; ++i) blank[i] = ' ';
    blank[width + 1] = '\r';
    ssize_t written = write(2, blank, width + 2);
    (void)written;
  }
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

}  // namespace

int main(int argc, char** argv) {
  // Signals the caller had ignored stay ignored.
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP})
    if (signal(signal_number, EraseStatusAndEnd) == SIG_IGN) signal(signal_number, SIG_IGN);
  return qst::RunProgram({argv, argv + argc});
}
