// Wildcard matching as a directory search does it: '?' is any one
// character, '*' any run of characters. `same` compares two characters, so
// that the caller decides about case.
#pragma once

#include <string_view>

namespace qst {

// Whether `text` holds '?' or '*'.
template <typename Char>
bool HasWildcard(std::basic_string_view<Char> text) {
  for (Char c : text)
    if (c == Char('?') || c == Char('*')) return true;
  return false;
}

template <typename Char, typename Same>
bool MatchWildcard(std::basic_string_view<Char> pattern, std::basic_string_view<Char> name,
                   Same same) {
  constexpr auto npos = std::basic_string_view<Char>::npos;
  std::size_t p = 0, n = 0, star = npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == Char('?') || same(pattern[p], name[n]))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == Char('*')) {
      star = p++;
      resume = n;
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
