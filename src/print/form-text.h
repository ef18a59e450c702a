// Pieces of text shared by the forms other programs read (JSON Lines, RFC
// 4180 CSV, the body file, events), for records and journal records alike.
// Times are UTC, to the 100 ns.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "time/timestamp.h"
#include "util/text.h"

namespace qst {

// false when the time could not be split.
bool AppendIsoUtc(const RenderedTimestamp& t, std::string* out);

// A JSON string of `text`: quotes, backslashes and control characters
// escaped, and each byte that is not part of valid UTF-8 replaced by U+FFFD.
// Returns false when a byte was replaced.
bool AppendJsonString(std::string_view text, std::string* out);
// The same when `known`, else null.
void AppendJsonStringOrNull(bool known, std::string_view text, std::string* out);

// Bytes as lower-case hex digits.
void AppendHex(std::string_view bytes, std::string* out);

// {"utc":"...Z","filetime":N}, with "utc" null when the value has no date
// (or `known` is false). An object ID's time, counted from 1582, may lie
// before 1601: its `filetime` is then signed.
void AppendJsonTime(const RenderedTimestamp& t, bool known, std::string* out,
                    bool may_precede_1601 = false);
// A time that may not exist: null then.
void AppendJsonTimeOrNull(bool known, const RenderedTimestamp& t, std::string* out);

// A CSV field: quoted when it holds a comma, a quote or a line break, with
// its quotes doubled.
void AppendCsvField(std::string_view text, std::string* out);
// ",<ISO time>", or "," alone when the time is not known.
// A name or path as a CSV field that no spreadsheet runs as a formula:
// text that starts with =, +, -, @, a tab or a carriage return, after any
// apostrophes, gets one apostrophe more in front (shown by spreadsheets as
// text). Programs get the exact name back by taking one apostrophe off a
// field that starts so. A NUL is written "<00>".
void AppendCsvName(std::string_view name, std::string* out);
void AppendCsvTime(const RenderedTimestamp& t, bool known, std::string* out);

// Unix seconds with seven fraction digits, exact for every FILETIME.
void AppendUnixTime(FILETIME t, std::string* out);
// A body-file name: "|" and control characters, which would end a field or
// a line, written as \xHH.
void AppendBodyName(std::string_view name, std::string* out);

// The most bytes of a name an event holds in one value: a search engine
// refuses a document with a value over 32,766 bytes (Lucene's longest
// term), and a name's hex form takes twice its bytes.
inline constexpr std::size_t kEventNameBytes = 16000;
// `name` as an event's text holds it: whole, or cut at the start of a
// character to kEventNameBytes and marked " [cut]".
std::string EventText(std::string_view name);
// An event's name or path after its `"key":`, with its bytes in hex where
// they are not UTF-8, as AppendJsonNameAndHex writes them. A name longer
// than a value holds is cut, marked " [cut]", and kept whole in hex under
// `key`_hex_parts, in pieces that each fit a value.
void AppendEventName(std::string_view key, std::string_view name, std::string* out);

// A name or path as a JSON string, and, where it is not valid UTF-8 (bytes
// of another encoding, a lone surrogate), ,"<key>_hex":"<its bytes>" after
// it, so that names that print alike stay apart.
void AppendJsonNameAndHex(std::string_view key, std::string_view name, std::string* out);

// The length of the character at the start of `s` (UTF-8) that a name may
// not show as itself: a mark that reorders the text around it (U+061C,
// U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069), a C1 control
// (U+0080 to U+009F, which terminals obey as C0 ones: U+009B starts a
// command) or a line or paragraph separator (U+2028, U+2029, which start
// new rows for readers that split on Unicode line breaks), with its code
// point in `*code`; 0 when none is there.
std::size_t CodedCharacterAt(std::string_view s, unsigned* code);

// The code that the text layouts write for a character at the start of
// `text` ("<0A>": any of U+0000 to U+007F in two upper-case hex digits;
// "<U+202E>": a character CodedCharacterAt knows): its length, with the character's
// UTF-8 in `*bytes`; 0 where `text` starts with none.
std::size_t TextCodeAt(std::string_view text, std::string* bytes);
// A path as the text layouts showed it for a volume's names, read back: each
// code made its character again, every other byte as it stands.
std::string PathFromText(std::string_view text);

// An event's opening: {"datetime":"...Z" (null when the time has no date),
// "timestamp":<microseconds since 1970>.
void AppendEventTime(const RenderedTimestamp& t, std::string* out);

}  // namespace qst
