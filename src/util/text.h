// Small pieces of text every layer writes: hex digits, decimal numbers,
// printf-style messages and a system message on one line. Uses nothing of
// ours.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

namespace qst {

inline constexpr char kHexUpper[] = "0123456789ABCDEF";
inline constexpr char kHexLower[] = "0123456789abcdef";

// Appends `value` in decimal.
template <typename Integer>
void AppendNumber(Integer value, std::string* out) {
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out->append(digits, end);
}

// Formats a message as printf does.
std::string Format(const char* format, ...)
#if defined(__MINGW32__)
    __attribute__((format(gnu_printf, 1, 2)))
#elif defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// A size in words: "512 bytes", "1.2 MiB".
std::string ByteCount(std::uint64_t bytes);

// A system's message without the line break (and trailing blanks) it ends in.
std::string OneLine(std::string_view message);

}  // namespace qst
