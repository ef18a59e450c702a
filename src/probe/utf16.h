// Conversions between the program's strings (WTF-8: UTF-8 that also carries
// unpaired surrogates) and UTF-16, the form of names on Windows and on NTFS
// volumes. Lossless both ways for every UTF-16 string.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qst {

std::u16string Utf16FromWtf8(std::string_view text);
std::string Wtf8FromUtf16(std::u16string_view text);

// Streaming form: feeds one UTF-16 unit; a lead surrogate waits in
// `*pending` (0 when none) for its trail.
void AppendUtf16Unit(char16_t unit, char16_t* pending, std::string* out);
void FlushUtf16Pending(char16_t* pending, std::string* out);

// The length of the UTF-8 sequence at the start of `s`, or 0 when it is not
// one (overlong forms, surrogates and values past U+10FFFF included).
std::size_t Utf8SequenceLength(std::string_view s);

}  // namespace qst
