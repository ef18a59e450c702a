// A GNU-style option scanner. Letters may be clustered (-eu); options and
// operands may be mixed, and the operands are moved behind the options in
// place, keeping their order. "--" ends the options. With POSIXLY_CORRECT in
// the environment the first operand ends them instead. A letter followed by
// ':' in the option string takes an argument: the rest of its element
// (-dIMG) or the next element (-d IMG), left in `optarg`.
#pragma once

#include "cli/output.h"

namespace qst {

enum class ScanMode { OperandsLast, StopAtOperand };

struct OptionScanState {
  int optind = 1;
  int opterr = 1;
  int optopt = '?';
  const char* optarg = nullptr;
  int initialized = 0;
  const char* clusterPos = nullptr;
  ScanMode scanMode = ScanMode::OperandsLast;
  int skippedBegin = 0;
  int skippedEnd = 0;
};

// Returns the next option letter of `optstring`; 63 ('?') for a letter not in
// it, after writing "<argv[0]>: invalid option -- '<c>'" to `diagnostics`
// when `state.opterr` is set, and for a missing argument, after "<argv[0]>:
// option requires an argument -- '<c>'"; -1 when no options remain, with
// `state.optind` on the first operand.
int getopt(int argc, char** argv, const char* optstring, OptionScanState& state,
           Output& diagnostics);

// A long option: "--name", or "--name=value" / "--name value" when it takes
// an argument, "--name=value" too where its argument is optional. Any unambiguous start of a name
// stands for it.
struct LongOption {
  const char* name;
  bool has_argument;
  int value;  // what getopt_long returns for it
  // Without has_argument: "--name=value" is taken too (never "--name value").
  bool optional_argument = false;
};

// As getopt, also reading the long options of `longopts` (ended by an entry
// whose name is null). For a name that matches none: "<argv[0]>:
// unrecognized option '<element>'"; several: "<argv[0]>: option '<element>'
// is ambiguous"; an argument where none is taken: "<argv[0]>: option
// '--<name>' doesn't allow an argument"; none where one is needed:
// "<argv[0]>: option '--<name>' requires an argument". Each returns '?'.
int getopt_long(int argc, char** argv, const char* optstring, const LongOption* longopts,
                OptionScanState& state, Output& diagnostics);

}  // namespace qst
