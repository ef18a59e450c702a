// Bytes of $LogFile records for the tests of the log: little-endian
// stores, the times of $STANDARD_INFORMATION.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qst::testing::logfile {

inline void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v), b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  Put16(b, at, static_cast<std::uint16_t>(v)),
      Put16(b, at + 2, static_cast<std::uint16_t>(v >> 16));
}
inline void Put64(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v) {
  Put32(b, at, static_cast<std::uint32_t>(v)),
      Put32(b, at + 4, static_cast<std::uint32_t>(v >> 32));
}

inline constexpr std::uint64_t kHour = 36000000000;
inline constexpr std::uint64_t kYear = 8766 * kHour;

// Times of $STANDARD_INFORMATION (creation, write, change, access) as bytes.
inline std::vector<std::uint8_t> Times(std::uint64_t c, std::uint64_t w, std::uint64_t ch,
                                       std::uint64_t a) {
  std::vector<std::uint8_t> v(32);
  Put64(v, 0, c), Put64(v, 8, w), Put64(v, 16, ch), Put64(v, 24, a);
  return v;
}

}  // namespace qst::testing::logfile
