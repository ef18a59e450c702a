// Conversions between the program's strings (WTF-8: UTF-8 that also carries
// unpaired surrogates) and the UTF-16 of the Windows calls. Lossless both
// ways for every UTF-16 string, so no path is changed on its way through.
#pragma once

#include <string>
#include <string_view>

namespace qst {

std::wstring ToWide(std::string_view text);
std::string FromWide(std::wstring_view text);
// Appends one UTF-16 code unit sequence's worth: `high` may be a lead
// surrogate waiting for its trail, kept in `*pending` (0 when none).
void AppendWide(wchar_t unit, wchar_t* pending, std::string* out);
void FlushPendingWide(wchar_t* pending, std::string* out);

}  // namespace qst
