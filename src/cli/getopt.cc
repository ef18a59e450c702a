#include "cli/getopt.h"

#include <cstdlib>
#include <cstring>
#include <utility>

namespace qst {
namespace {

bool IsOperand(const char* element) { return element[0] != '-' || element[1] == '\0'; }

// Moves the skipped operands [skippedBegin, skippedEnd) behind the options
// [skippedEnd, optind) by swapping blocks of pointers; both blocks keep their
// inner order.
void RotateOperandBlock(char** argv, OptionScanState& s) {
  int bottom = s.skippedBegin;
  int middle = s.skippedEnd;
  int top = s.optind;
  while (top > middle && middle > bottom) {
    if (top - middle > middle - bottom) {
      int n = middle - bottom;
      for (int i = 0; i < n; ++i) std::swap(argv[bottom + i], argv[top - n + i]);
      top -= n;
    } else {
      int n = top - middle;
      for (int i = 0; i < n; ++i) std::swap(argv[bottom + i], argv[middle + i]);
      bottom += n;
    }
  }
  s.skippedBegin += s.optind - s.skippedEnd;
  s.skippedEnd = s.optind;
}

// Moves to the next element that holds options, passing operands over as
// the scan mode says. False when no options remain, with `optind` on the
// first operand.
bool StartNextElement(int argc, char** argv, OptionScanState& s) {
  if (s.skippedEnd > s.optind) s.skippedEnd = s.optind;
  if (s.skippedBegin > s.optind) s.skippedBegin = s.optind;

  if (s.scanMode == ScanMode::OperandsLast) {
    if (s.skippedBegin != s.skippedEnd && s.skippedEnd != s.optind)
      RotateOperandBlock(argv, s);
    else if (s.skippedEnd != s.optind)
      s.skippedBegin = s.optind;
    while (s.optind < argc && IsOperand(argv[s.optind])) ++s.optind;
    s.skippedEnd = s.optind;
  }

  if (s.optind < argc && std::strcmp(argv[s.optind], "--") == 0) {
    ++s.optind;
    if (s.skippedBegin == s.skippedEnd)
      s.skippedBegin = s.optind;
    else if (s.skippedEnd != s.optind)
      RotateOperandBlock(argv, s);
    s.skippedEnd = s.optind = argc;
  }

  if (s.optind == argc) {
    if (s.skippedBegin != s.skippedEnd) s.optind = s.skippedBegin;
    return false;
  }
  if (IsOperand(argv[s.optind])) return false;  // only reached when stopping at operands
  s.clusterPos = argv[s.optind] + 1;
  return true;
}

}  // namespace

int getopt(int argc, char** argv, const char* optstring, OptionScanState& s, Output& diagnostics) {
  if (argc < 1) return -1;
  s.optarg = nullptr;

  bool setup = s.initialized == 0;
  if (s.optind == 0) {
    s.optind = 1;
    setup = true;
  }
  if (setup) {
    s.skippedBegin = s.skippedEnd = s.optind;
    s.clusterPos = nullptr;
    s.scanMode = std::getenv("POSIXLY_CORRECT") != nullptr ? ScanMode::StopAtOperand
                                                           : ScanMode::OperandsLast;
    s.initialized = 1;
  }

  if ((s.clusterPos == nullptr || *s.clusterPos == '\0') && !StartNextElement(argc, argv, s))
    return -1;

  char letter = *s.clusterPos++;
  if (*s.clusterPos == '\0') ++s.optind;

  const char* found = std::strchr(optstring, letter);
  if (letter == ':' || letter == ';' || found == nullptr) {
    if (s.opterr) diagnostics.Printf("%s: invalid option -- '%c'\n", argv[0], letter);
    s.optopt = static_cast<unsigned char>(letter);
    return '?';
  }
  if (found[1] == ':') {
    // The argument is the rest of this element, or else the next element.
    if (*s.clusterPos != '\0') {
      s.optarg = s.clusterPos;
      ++s.optind;
    } else if (s.optind < argc) {
      s.optarg = argv[s.optind++];
    } else {
      if (s.opterr)
        diagnostics.Printf("%s: option requires an argument -- '%c'\n", argv[0], letter);
      s.optopt = static_cast<unsigned char>(letter);
      return '?';
    }
    s.clusterPos = nullptr;
  }
  return static_cast<unsigned char>(letter);
}

}  // namespace qst
