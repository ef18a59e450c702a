// Search patterns as a directory search reads them: a folder part, and a
// last component in which '?' is any one character and '*' any run of
// characters.
#pragma once

#include <string_view>

namespace qst {

template <typename Char>
bool IsWildcard(Char c) {
  return c == Char('?') || c == Char('*');
}

// Whether `text` holds '?' or '*'.
template <typename Char>
bool HasWildcard(std::basic_string_view<Char> text) {
  for (Char c : text)
    if (IsWildcard(c)) return true;
  return false;
}

// A pattern cut after its last separator. `folder` keeps the separator and
// is empty when there is none; `last` is the rest.
struct PatternParts {
  std::string_view folder;
  std::string_view last;
};

inline PatternParts SplitPattern(std::string_view pattern, char separator) {
  std::size_t cut = pattern.rfind(separator);
  if (cut == std::string_view::npos) return {{}, pattern};
  return {pattern.substr(0, cut + 1), pattern.substr(cut + 1)};
}

// `same` compares two characters, so that the caller decides about case.
template <typename Char, typename Same>
bool MatchWildcard(std::basic_string_view<Char> pattern, std::basic_string_view<Char> name,
                   Same same) {
  constexpr auto npos = std::basic_string_view<Char>::npos;
  std::size_t p = 0, n = 0, star = npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == Char('*')) {
      // Always a wildcard, even where the name holds a '*' too.
      star = p++;
      resume = n;
    } else if (p < pattern.size() && (pattern[p] == Char('?') || same(pattern[p], name[n]))) {
      ++p;
      ++n;
    } else if (star != npos) {
      // Let the last '*' take one more character and try again.
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == Char('*')) ++p;
  return p == pattern.size();
}

}  // namespace qst
