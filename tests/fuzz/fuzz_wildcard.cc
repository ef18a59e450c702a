// The wildcard matcher and pattern split: pattern and name are the input's
// two NUL-separated halves; matching is tried case-sensitive and not.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "probe/wildcard.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::size_t cut = input.find('\0');
  std::string_view pattern = input.substr(0, cut);
  std::string_view name = cut == std::string_view::npos ? "" : input.substr(cut + 1);
  bool exact = qst::MatchWildcard(pattern, name, [](char a, char b) { return a == b; });
  bool folded = qst::MatchWildcard(pattern, name, [](char a, char b) {
    return (a >= 'a' && a <= 'z' ? a - 32 : a) == (b >= 'a' && b <= 'z' ? b - 32 : b);
  });
  if (exact && !folded) __builtin_trap();
  // A pattern without wildcards matches only itself.
  if (!qst::HasWildcard(pattern) && exact != (pattern == name)) __builtin_trap();
  qst::PatternParts parts = qst::SplitPattern(pattern, '\\');
  if (parts.folder.size() + parts.last.size() != pattern.size()) __builtin_trap();
  return 0;
}
