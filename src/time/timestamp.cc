#include "time/timestamp.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace qst {
namespace {

constexpr std::uint64_t kSecondsPerDay = 86400;
constexpr std::uint64_t kDaysPer400Years = 146097;
constexpr std::uint64_t kDaysPer100Years = 36524;
constexpr std::uint64_t kDaysPer4Years = 1461;
// Days from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kDaysFrom1601To1970 = 134774;

bool IsLeap(std::uint64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

constexpr std::uint16_t kDaysBeforeMonth[2][13] = {
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366},
};

}  // namespace

bool FileTimeToSystemTime(FILETIME raw, SYSTEMTIME* out) {
  if (raw >> 63) return false;
  std::uint64_t seconds = raw / kTicksPerSecond;
  std::uint64_t days = seconds / kSecondsPerDay;
  std::uint64_t second_of_day = seconds % kSecondsPerDay;
  out->wHour = static_cast<std::uint16_t>(second_of_day / 3600);
  out->wMinute = static_cast<std::uint16_t>(second_of_day / 60 % 60);
  out->wSecond = static_cast<std::uint16_t>(second_of_day % 60);
  out->wMilliseconds = static_cast<std::uint16_t>(raw % kTicksPerSecond / 10000);
  // The times of one file, and of files made together, mostly fall on the
  // same day: its date is split once.
  thread_local std::uint64_t last_days = ~0ull;
  thread_local SYSTEMTIME last_date;
  if (days == last_days) {
    out->wYear = last_date.wYear;
    out->wMonth = last_date.wMonth;
    out->wDay = last_date.wDay;
    out->wDayOfWeek = last_date.wDayOfWeek;
    return true;
  }

  // 1601 opens a 400-year cycle, so the cycle arithmetic needs no offset.
  std::uint64_t n400 = days / kDaysPer400Years;
  std::uint64_t d = days % kDaysPer400Years;
  std::uint64_t n100 = d / kDaysPer100Years;
  if (n100 == 4) n100 = 3;  // last day of a leap 400th year
  d -= n100 * kDaysPer100Years;
  std::uint64_t n4 = d / kDaysPer4Years;
  d %= kDaysPer4Years;
  std::uint64_t n1 = d / 365;
  if (n1 == 4) n1 = 3;  // last day of a leap year
  d -= n1 * 365;

  std::uint64_t year = 1601 + 400 * n400 + 100 * n100 + 4 * n4 + n1;
  const std::uint16_t* before = kDaysBeforeMonth[IsLeap(year) ? 1 : 0];
  int month = 1;
  while (d >= before[month]) ++month;

  out->wYear = static_cast<std::uint16_t>(year);
  out->wMonth = static_cast<std::uint16_t>(month);
  out->wDay = static_cast<std::uint16_t>(d - before[month - 1] + 1);
  out->wDayOfWeek = static_cast<std::uint16_t>((days + 1) % 7);  // 1601-01-01 was a Monday
  last_days = days;
  last_date = *out;
  return true;
}

std::int64_t SystemTimeToUnixSeconds(const SYSTEMTIME& st) {
  std::int64_t y = st.wYear - 1601;
  std::int64_t days = y * 365 + y / 4 - y / 100 + y / 400;
  int month = st.wMonth >= 1 && st.wMonth <= 12 ? st.wMonth : 1;
  days += kDaysBeforeMonth[IsLeap(st.wYear) ? 1 : 0][month - 1] + st.wDay - 1;
  days -= kDaysFrom1601To1970;
  return days * static_cast<std::int64_t>(kSecondsPerDay) + st.wHour * 3600 + st.wMinute * 60 +
         st.wSecond;
}

namespace {

// "00" to "99", two characters each.
constexpr auto kTwoDigits = [] {
  std::array<char, 200> pairs{};
  for (int i = 0; i < 100; ++i) {
    pairs[2 * i] = static_cast<char>('0' + i / 10);
    pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}();

// Writes `value` as exactly `digits` decimal digits, two at a time.
char* PutDigits(char* out, unsigned value, int digits) {
  int i = digits;
  while (i >= 2) {
    i -= 2;
    std::memcpy(out + i, &kTwoDigits[2 * (value % 100)], 2);
    value /= 100;
  }
  if (i == 1) out[0] = static_cast<char>('0' + value % 10);
  return out + digits;
}

}  // namespace

int FormatTimestamp(std::int64_t fraction, const SYSTEMTIME& broken, TimeForm form,
                    char (&text)[64]) {
  // The common case by hand: this runs six times for every file reported.
  if (fraction >= 0 && fraction < kTicksPerSecond && broken.wYear < 10000 && broken.wMonth < 100 &&
      broken.wDay < 100 && broken.wHour < 100 && broken.wMinute < 100 && broken.wSecond < 100) {
    char* p = PutDigits(text, broken.wYear, 4);
    *p++ = form.iso ? '-' : '/';
    p = PutDigits(p, broken.wMonth, 2);
    *p++ = form.iso ? '-' : '/';
    p = PutDigits(p, broken.wDay, 2);
    *p++ = form.iso ? 'T' : ' ';
    p = PutDigits(p, broken.wHour, 2);
    *p++ = ':';
    p = PutDigits(p, broken.wMinute, 2);
    *p++ = ':';
    p = PutDigits(p, broken.wSecond, 2);
    *p++ = '.';
    p = PutDigits(p, static_cast<unsigned>(fraction), 7);
    *p++ = '0';
    *p++ = '0';
    *p = '\0';
    return static_cast<int>(p - text);
  }
  const char* format = form.iso ? "%04d-%02d-%02dT%02d:%02d:%02d.%07lld00"
                                : "%04d/%02d/%02d %02d:%02d:%02d.%07lld00";
  int n =
      std::snprintf(text, sizeof text, format, broken.wYear, broken.wMonth, broken.wDay,
                    broken.wHour, broken.wMinute, broken.wSecond, static_cast<long long>(fraction));
  return n < 0 ? 0 : n;
}

const LocalTimeConverter& UtcZone() {
  struct Utc : LocalTimeConverter {
    bool ToLocalTime(const SYSTEMTIME& utc, SYSTEMTIME* local) const override {
      *local = utc;
      return true;
    }
  };
  static const Utc utc;
  return utc;
}

RenderedTimestamp RenderTimestamp(FILETIME raw, TimeForm form, const LocalTimeConverter& zone) {
  RenderedTimestamp r;
  r.raw = raw;
  r.fraction = static_cast<std::int64_t>(raw) % kTicksPerSecond;
  SYSTEMTIME utc;
  r.converted = FileTimeToSystemTime(raw, &utc);
  if (r.converted) {
    if (form.utc) {
      r.broken = utc;
    } else {
      SYSTEMTIME local;
      r.converted = zone.ToLocalTime(utc, &local);
      if (r.converted) r.broken = local;
    }
  }
  const int length = FormatTimestamp(r.fraction, r.broken, form, r.text);
  r.length = static_cast<std::uint8_t>(std::clamp(length, 0, int{sizeof r.text} - 1));
  r.zone = form.utc ? kZoneUtc : kZoneLocal;
  return r;
}

bool AppendIsoUtc(const RenderedTimestamp& t, std::string* out) {
  if (!t.converted) return false;
  std::string_view text = t.Text();
  // The record's ISO text ends in two zero digits below the 100 ns.
  out->append(text.substr(0, text.size() - 2)).append("Z");
  return true;
}

}  // namespace qst
