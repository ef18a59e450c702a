#include "probe/fat/fat-time.h"

namespace qst {

namespace {

constexpr std::int64_t kUnixEpoch = 116444736000000000;  // 1970-01-01 as a FILETIME

bool ValidDate(const FatStamp& s) {
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (s.month < 1 || s.month > 12 || s.day < 1 || s.day > kDays[s.month - 1]) return false;
  const bool leap = (s.year % 4 == 0 && s.year % 100 != 0) || s.year % 400 == 0;
  if (s.month == 2 && s.day == 29 && !leap) return false;
  return s.hour < 24 && s.minute < 60 && s.second < 60;
}

// The offset of `zone` from UTC at `utc`, in ticks.
std::int64_t OffsetAt(FILETIME utc, const LocalTimeConverter& zone) {
  SYSTEMTIME st, local;
  if (!FileTimeToSystemTime(utc, &st) || !zone.ToLocalTime(st, &local)) return 0;
  return (SystemTimeToUnixSeconds(local) - SystemTimeToUnixSeconds(st)) * kTicksPerSecond;
}

}  // namespace

bool FixedZone::ToLocalTime(const SYSTEMTIME& utc, SYSTEMTIME* local) const {
  const std::int64_t ticks = SystemTimeToUnixSeconds(utc) * kTicksPerSecond + kUnixEpoch +
                             std::int64_t{minutes_} * 60 * kTicksPerSecond;
  if (ticks < 0) return false;
  if (!FileTimeToSystemTime(static_cast<FILETIME>(ticks), local)) return false;
  local->wMilliseconds = utc.wMilliseconds;
  return true;
}

FILETIME LocalToUtc(FILETIME local, const LocalTimeConverter& zone) {
  // The offset where the time would fall, taken twice: once from the local
  // time read as UTC, once from the first guess, so that a time near a
  // change of daylight time takes the offset in force at it.
  const auto l = static_cast<std::int64_t>(local);
  std::int64_t guess = l - OffsetAt(local, zone);
  guess = l - OffsetAt(static_cast<FILETIME>(guess), zone);
  return static_cast<FILETIME>(guess);
}

bool FatStampToFileTime(const FatStamp& s, const LocalTimeConverter& zone, FILETIME* out) {
  if (!s.present || !ValidDate(s)) return false;
  SYSTEMTIME st;
  st.wYear = s.year;
  st.wMonth = s.month;
  st.wDay = s.day;
  st.wHour = s.hour;
  st.wMinute = s.minute;
  st.wSecond = s.second;
  const std::int64_t ticks = SystemTimeToUnixSeconds(st) * kTicksPerSecond + kUnixEpoch +
                             std::int64_t{s.centiseconds} * 100000;
  if (s.has_offset) {
    *out = static_cast<FILETIME>(ticks - std::int64_t{s.offset_minutes} * 60 * kTicksPerSecond);
    return true;
  }
  *out = LocalToUtc(static_cast<FILETIME>(ticks), zone);
  return true;
}

}  // namespace qst
