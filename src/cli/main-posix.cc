// The entry point on POSIX systems: the arguments are the system's bytes.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "cli/output.h"
#include "cli/program.h"

namespace {

// An interrupt erases the progress line before the program ends as the
// signal ends it.
void EraseStatusAndEnd(int signal_number) {
  char blank[258];
  if (std::size_t length = qst::StatusEraser(blank, sizeof blank)) {
    ssize_t written = write(2, blank, length);
    (void)written;
  }
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

// A pipe that takes a megabyte before the writer waits (Linux), so that a
// long report wakes the program that reads it, and waits on it, less often.
void WidenOutputPipe() {
#if defined(F_SETPIPE_SZ)
  struct stat st;
  if (fstat(1, &st) == 0 && S_ISFIFO(st.st_mode)) (void)fcntl(1, F_SETPIPE_SZ, 1 << 20);
#endif
}

}  // namespace

int main(int argc, char** argv) {
#if defined(__GLIBC__)
  // Large blocks (a volume's tables, their scratch copies) are mapped and go
  // back to the system when freed, rather than staying in the heap once the
  // allocator has raised its own threshold past them.
  mallopt(M_MMAP_THRESHOLD, 256 << 10);
#endif
  // Signals the caller had ignored stay ignored.
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP})
    if (signal(signal_number, EraseStatusAndEnd) == SIG_IGN) signal(signal_number, SIG_IGN);
  WidenOutputPipe();
  return qst::RunProgram({argv, argv + argc});
}
