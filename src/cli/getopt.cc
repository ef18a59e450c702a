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

namespace {

// Reads the long option of the element at `optind`, "--" and all.
int ScanLongOption(int argc, char** argv, const LongOption* longopts, OptionScanState& s,
                   Output& diagnostics) {
  const char* element = argv[s.optind++];
  s.clusterPos = nullptr;
  const char* name = element + 2;
  const char* equals = std::strchr(name, '=');
  std::size_t length =
      equals != nullptr ? static_cast<std::size_t>(equals - name) : std::strlen(name);
  const LongOption* found = nullptr;
  int matches = 0;
  for (const LongOption* o = longopts; o != nullptr && o->name != nullptr; ++o) {
    if (std::strncmp(o->name, name, length) != 0) continue;
    if (o->name[length] == '\0') {  // an exact match wins over any start
      found = o;
      matches = 1;
      break;
    }
    found = o;
    ++matches;
  }
  s.optopt = 0;
  if (matches == 0) {
    if (s.opterr) diagnostics.Printf("%s: unrecognized option '%s'\n", argv[0], element);
    return '?';
  }
  if (matches > 1) {
    if (s.opterr) diagnostics.Printf("%s: option '%s' is ambiguous\n", argv[0], element);
    return '?';
  }
  if (!found->has_argument) {
    if (equals != nullptr && found->optional_argument) {
      s.optarg = equals + 1;
      return found->value;
    }
    if (equals != nullptr) {
      if (s.opterr)
        diagnostics.Printf("%s: option '--%s' doesn't allow an argument\n", argv[0], found->name);
      return '?';
    }
    return found->value;
  }
  if (equals != nullptr) {
    s.optarg = equals + 1;
  } else if (s.optind < argc) {
    s.optarg = argv[s.optind++];
  } else {
    if (s.opterr)
      diagnostics.Printf("%s: option '--%s' requires an argument\n", argv[0], found->name);
    return '?';
  }
  return found->value;
}

}  // namespace

int getopt(int argc, char** argv, const char* optstring, OptionScanState& s, Output& diagnostics) {
  return getopt_long(argc, argv, optstring, nullptr, s, diagnostics);
}

int getopt_long(int argc, char** argv, const char* optstring, const LongOption* longopts,
                OptionScanState& s, Output& diagnostics) {
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

  if (s.clusterPos == nullptr || *s.clusterPos == '\0') {
    if (!StartNextElement(argc, argv, s)) return -1;
    // "--" alone was taken by StartNextElement: this one has a name.
    if (longopts != nullptr && *s.clusterPos == '-')
      return ScanLongOption(argc, argv, longopts, s, diagnostics);
  }

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
