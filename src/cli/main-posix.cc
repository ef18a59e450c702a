// The entry point on POSIX systems: the arguments are the system's bytes.
#include "cli/program.h"

int main(int argc, char** argv) { return qst::RunProgram({argv, argv + argc}); }
