// The program's strings (WTF-8) and the UTF-16 of the Windows calls.
#pragma once

#include <string>
#include <string_view>

#include "probe/utf16.h"

namespace qst {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide strings are UTF-16");

inline std::wstring ToWide(std::string_view text) {
  std::u16string u = Utf16FromWtf8(text);
  return std::wstring(u.begin(), u.end());
}

inline std::string FromWide(std::wstring_view text) {
  return Wtf8FromUtf16(
      std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

}  // namespace qst
