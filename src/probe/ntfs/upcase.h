// $UpCase (record 10): the volume's upper-case table, one little-endian
// UTF-16 unit for each of the 65,536 units, 128 KiB in all. Names in a
// folder are ordered, and compared without regard to case, through it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace qst {

// The upper-case table NTFS volumes are formatted with, one entry for each
// UTF-16 unit.
std::vector<char16_t> DefaultUpcaseTable();

inline constexpr std::size_t kUpcaseTableBytes = 131072;

class UpcaseTable {
 public:
  UpcaseTable() : table_(DefaultUpcaseTable()) {}
  // Takes the volume's own table when `bytes` is one whole that upper-cases
  // ASCII as every NTFS table does (a table of zeros, or one that made
  // different names equal, would hide files); else keeps the default. False
  // when it kept the default.
  bool Load(const std::vector<std::uint8_t>& bytes);

  char16_t operator()(char16_t c) const { return table_[c]; }
  // Orders names as the volume's indexes do: unit by unit upper-cased, a
  // shorter name first where one is the start of the other.
  int Compare(std::u16string_view a, std::u16string_view b) const { return CompareUnits(a, b); }
  // The same over names as a name store keeps them: each a std::string_view
  // whose bytes are its units, or a std::u16string_view.
  template <typename A, typename B>
  int CompareUnits(A a, B b) const {
    std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
      char16_t x = table_[Unit(a[i])], y = table_[Unit(b[i])];
      if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
  }
  // A unit as a name store keeps it: a byte, or a UTF-16 unit.
  static char16_t Unit(char c) { return static_cast<unsigned char>(c); }
  static char16_t Unit(char16_t c) { return c; }

 private:
  std::vector<char16_t> table_;
};

}  // namespace qst
