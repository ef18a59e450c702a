// Timestamp text: one FILETIME rendered at full 100-ns resolution, in UTC or
// in the machine's local zone, in the slash form or ISO 8601.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qst {

// 100-ns intervals since 1601-01-01 00:00:00 UTC.
using FILETIME = std::uint64_t;

// Broken-down time, as the Windows time services produce it.
struct SYSTEMTIME {
  std::uint16_t wYear = 0;
  std::uint16_t wMonth = 0;
  std::uint16_t wDayOfWeek = 0;
  std::uint16_t wDay = 0;
  std::uint16_t wHour = 0;
  std::uint16_t wMinute = 0;
  std::uint16_t wSecond = 0;
  std::uint16_t wMilliseconds = 0;
};

// How times are shown: in UTC or the local zone, in the slash form or ISO
// 8601.
struct TimeForm {
  bool utc = false;
  bool iso = false;
};

// The local-time conversion of the platform (the machine's current zone
// rules, daylight time included).
class LocalTimeConverter {
 public:
  virtual ~LocalTimeConverter() = default;
  // Converts a UTC broken-down time into local time. Returns false when the
  // result would fall outside what a FILETIME covers (before 1601).
  virtual bool ToLocalTime(const SYSTEMTIME& utc, SYSTEMTIME* local) const = 0;
  // The zone's name as the system knows it ("Europe/Berlin", "W. Europe
  // Standard Time"); empty where it tells none.
  virtual std::string ZoneName() const { return {}; }
};

inline constexpr std::int64_t kTicksPerSecond = 10'000'000;
inline constexpr std::uint64_t kUnixEpochTicks = 116444736000000000ull;  // 1970-01-01 as a FILETIME

// Splits a FILETIME into UTC calendar fields on the proleptic Gregorian
// calendar. Defined for values below 2^63; returns false (and leaves `out`
// untouched) for larger ones.
bool FileTimeToSystemTime(FILETIME raw, SYSTEMTIME* out);

// Seconds between 1970-01-01 and the given UTC calendar date and time; the
// inverse of the split for any valid SYSTEMTIME.
std::int64_t SystemTimeToUnixSeconds(const SYSTEMTIME& st);

struct RenderedTimestamp {
  FILETIME raw = 0;
  // raw read as signed, remainder by 10^7: 0..9999999 below 2^63, negative
  // above.
  std::int64_t fraction = 0;
  // In the display zone. All zero when `converted` is false.
  SYSTEMTIME broken;
  // False when the value could not be split (2^63 or more) or its local time
  // would fall before 1601. The date fields of `text` are then all zeros.
  bool converted = false;
  char text[64] = {};
  std::uint8_t length = 0;  // of text
  const char* zone = "";
  std::string_view Text() const { return {text, length}; }
};

inline constexpr const char kZoneUtc[] = "(UTC)";
inline constexpr const char kZoneLocal[] = "(LOCAL)";

// Formats broken-down time and fraction as "YYYY/MM/DD hh:mm:ss.fffffff00"
// or, with `iso`, "YYYY-MM-DDThh:mm:ss.fffffff00". Returns the length.
int FormatTimestamp(std::int64_t fraction, const SYSTEMTIME& broken, TimeForm form,
                    char (&text)[64]);

// Renders one value for display. The local zone comes from `zone` and is
// not consulted with `form.utc`.
RenderedTimestamp RenderTimestamp(FILETIME raw, TimeForm form, const LocalTimeConverter& zone);

// The zone of forms that are always UTC, where no local time is asked for.
const LocalTimeConverter& UtcZone();

// "2024-05-01T12:00:00.1234567Z" of a time rendered in the UTC ISO form;
// false when the time could not be split.
bool AppendIsoUtc(const RenderedTimestamp& t, std::string* out);

}  // namespace qst
