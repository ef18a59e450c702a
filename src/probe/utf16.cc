#include "probe/utf16.h"

#include <cstdint>

namespace qst {
namespace {

void AppendCodePoint(std::uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | cp >> 6));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | cp >> 12));
    out->push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | cp >> 18));
    out->push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool IsLead(std::uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsTrail(std::uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

void AppendUtf16Unit(char16_t unit, char16_t* pending, std::string* out) {
  std::uint32_t u = unit;
  if (*pending != 0) {
    std::uint32_t lead = *pending;
    *pending = 0;
    if (IsTrail(u)) {
      AppendCodePoint(0x10000 + ((lead - 0xD800) << 10) + (u - 0xDC00), out);
      return;
    }
    AppendCodePoint(lead, out);
  }
  if (IsLead(u))
    *pending = unit;
  else
    AppendCodePoint(u, out);
}

void FlushUtf16Pending(char16_t* pending, std::string* out) {
  if (*pending != 0) AppendCodePoint(*pending, out);
  *pending = 0;
}

std::string Wtf8FromUtf16(std::u16string_view text) {
  // Most names are ASCII: those units are their bytes.
  std::size_t ascii = 0;
  while (ascii < text.size() && text[ascii] < 0x80) ++ascii;
  std::string out(ascii, '\0');
  for (std::size_t i = 0; i < ascii; ++i) out[i] = static_cast<char>(text[i]);
  if (ascii == text.size()) return out;
  out.reserve(text.size() + 8);
  char16_t pending = 0;
  for (char16_t unit : text.substr(ascii)) AppendUtf16Unit(unit, &pending, &out);
  FlushUtf16Pending(&pending, &out);
  return out;
}

std::u16string Utf16FromWtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    int extra = b < 0x80             ? 0
                : (b & 0xE0) == 0xC0 ? 1
                : (b & 0xF0) == 0xE0 ? 2
                : (b & 0xF8) == 0xF0 ? 3
                                     : -1;
    std::uint32_t cp = extra == 0 ? b : extra == 1 ? b & 0x1F : extra == 2 ? b & 0x0F : b & 0x07;
    bool ok = extra >= 0 && i + extra < text.size();
    for (int k = 1; ok && k <= extra; ++k) {
      unsigned char c = static_cast<unsigned char>(text[i + k]);
      if ((c & 0xC0) != 0x80) ok = false;
      cp = cp << 6 | (c & 0x3F);
    }
    if (!ok) {
      out.push_back(u'\uFFFD');  // not WTF-8
      ++i;
      continue;
    }
    i += extra + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::size_t Utf8SequenceLength(std::string_view s) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  unsigned char c = byte(0);
  if (c < 0x80) return 1;
  std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
  if (length == 0 || c > 0xF4 || s.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i)
    if ((byte(i) & 0xC0) != 0x80) return 0;
  if (c == 0xE0 && byte(1) < 0xA0) return 0;   // overlong
  if (c == 0xED && byte(1) >= 0xA0) return 0;  // a surrogate
  if (c == 0xF0 && byte(1) < 0x90) return 0;   // overlong
  if (c == 0xF4 && byte(1) >= 0x90) return 0;  // past U+10FFFF
  return length;
}

}  // namespace qst
