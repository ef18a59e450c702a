// Local time from the tz database, with TZ set per test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "probe/platform.h"
#include "time/classify.h"
#include "time/timestamp.h"

namespace qst {
namespace {

// Sets TZ for one test and restores it afterwards.
class ScopedZone {
 public:
  explicit ScopedZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old, had_ = true;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedZone() {
    if (had_)
      setenv("TZ", saved_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  std::string saved_;
  bool had_ = false;
};

class LocalTimestampText : public ::testing::Test {
 protected:
  std::string Render(FILETIME raw, bool utc) {
    RenderedTimestamp r = RenderTimestamp(raw, TimeForm{utc, false}, *platform_);
    return std::string(r.text) + " " + r.zone;
  }
  std::unique_ptr<Platform> platform_ = MakeNativePlatform();
};

constexpr FILETIME kSample = 129408480001234567;  // 2011-01-30 08:00:00.1234567 UTC

TEST_F(LocalTimestampText, LocalTimeFollowsTheZoneNineHoursEast) {
  ScopedZone zone("JST-9");
  EXPECT_EQ(Render(kSample, false), "2011/01/30 17:00:00.123456700 (LOCAL)");
  EXPECT_EQ(Render(kSample, true), "2011/01/30 08:00:00.123456700 (UTC)");
}

TEST_F(LocalTimestampText, LocalTimeUsesDaylightTimeInSummerOnly) {
  ScopedZone zone("EST5EDT,M3.2.0,M11.1.0");
  // 2011-07-01 12:00:00.5 UTC is 08:00 EDT; 2011-01-30 08:00 UTC is 03:00 EST.
  constexpr FILETIME kJuly = 129539952005000000;
  EXPECT_EQ(Render(kJuly, false), "2011/07/01 08:00:00.500000000 (LOCAL)");
  EXPECT_EQ(Render(kSample, false), "2011/01/30 03:00:00.123456700 (LOCAL)");
}

TEST_F(LocalTimestampText, LocalTimeBefore1601PrintsZeroDate) {
  ScopedZone zone("EST5");
  EXPECT_EQ(Render(0, false), "0000/00/00 00:00:00.000000000 (LOCAL)");
  EXPECT_EQ(Render(1234567, false), "0000/00/00 00:00:00.123456700 (LOCAL)");
  // Six hours in, the local time is 1601-01-01 01:00.
  EXPECT_EQ(Render(6ull * 3600 * 10000000, false), "1601/01/01 01:00:00.000000000 (LOCAL)");
}

TEST(CalendarSplit, AgreesWithTheCLibraryAcrossTheRange) {
  constexpr std::int64_t kUnixEpoch = 11644473600;
  std::uint64_t state = 0x9E3779B97F4A7C15;
  for (int i = 0; i < 20000; ++i) {
    state = state * 6364136223846793005 + 1442695040888963407;
    FILETIME raw = state >> 1;  // any value below 2^63
    SYSTEMTIME st;
    ASSERT_TRUE(FileTimeToSystemTime(raw, &st));
    std::int64_t seconds = static_cast<std::int64_t>(raw / kTicksPerSecond) - kUnixEpoch;
    ASSERT_EQ(SystemTimeToUnixSeconds(st), seconds) << raw;
    time_t t = static_cast<time_t>(seconds);
    struct tm tm;
    ASSERT_NE(gmtime_r(&t, &tm), nullptr);
    ASSERT_EQ(st.wYear, tm.tm_year + 1900) << raw;
    ASSERT_EQ(st.wMonth, tm.tm_mon + 1) << raw;
    ASSERT_EQ(st.wDay, tm.tm_mday) << raw;
    ASSERT_EQ(st.wDayOfWeek, tm.tm_wday) << raw;
    ASSERT_EQ(st.wHour * 3600 + st.wMinute * 60 + st.wSecond,
              tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec);
  }
}

// Local times as the tz database gives them, field by field, in zones with
// half- and quarter-hour offsets, 30-minute daylight time, offsets of local
// mean time in seconds, leap seconds and a negative daylight offset: across
// each change of offset second by second, and across five centuries.
TEST(ZoneRules, LocalTimeAgreesWithTheTzDatabaseEverywhere) {
  constexpr std::int64_t kUnixEpoch = 11644473600;
  for (const char* name :
       {"America/New_York", "Australia/Lord_Howe", "Asia/Kathmandu", "America/St_Johns",
        "Europe/Amsterdam", "Asia/Kolkata", "right/Europe/London", "Europe/Dublin", "Pacific/Apia",
        "EST5EDT,M3.2.0,M11.1.0", "UTC"}) {
    ScopedZone zone(name);
    std::unique_ptr<Platform> platform = MakeNativePlatform();
    std::vector<std::int64_t> times;
    std::uint64_t state = 0x2545F4914F6CDD1D;
    for (int i = 0; i < 4000; ++i) {  // 1650 to 2150
      state = state * 6364136223846793005 + 1442695040888963407;
      times.push_back(-10000000000 + static_cast<std::int64_t>(state >> 33) % 15800000000);
    }
    // Second by second around each change of offset in 1900-1901, 1937,
    // 2016 and 2035, found hour by hour.
    for (std::int64_t year_start : {-2208988800LL, -1041379200LL, 1451606400LL, 2051222400LL}) {
      long before = 0;
      for (std::int64_t t = year_start; t < year_start + 366 * 86400; t += 3600) {
        time_t tt = static_cast<time_t>(t);
        struct tm tm;
        localtime_r(&tt, &tm);
        if (t != year_start && tm.tm_gmtoff != before)
          for (std::int64_t s = t - 3600 - 5; s <= t + 5; s += 1) times.push_back(s);
        before = tm.tm_gmtoff;
      }
    }
    for (std::int64_t t : times) {
      SYSTEMTIME utc, local = {};
      ASSERT_TRUE(FileTimeToSystemTime(
          static_cast<FILETIME>(t + kUnixEpoch) * kTicksPerSecond + 1234567, &utc));
      time_t tt = static_cast<time_t>(t);
      struct tm tm;
      ASSERT_NE(localtime_r(&tt, &tm), nullptr);
      bool shown = tm.tm_year + 1900 >= 1601;
      ASSERT_EQ(platform->ToLocalTime(utc, &local), shown) << name << " " << t;
      if (!shown) continue;
      ASSERT_EQ(local.wYear, tm.tm_year + 1900) << name << " " << t;
      ASSERT_EQ(local.wMonth, tm.tm_mon + 1) << name << " " << t;
      ASSERT_EQ(local.wDay, tm.tm_mday) << name << " " << t;
      ASSERT_EQ(local.wDayOfWeek, tm.tm_wday) << name << " " << t;
      ASSERT_EQ(local.wHour, tm.tm_hour) << name << " " << t;
      ASSERT_EQ(local.wMinute, tm.tm_min) << name << " " << t;
      ASSERT_EQ(local.wSecond, tm.tm_sec) << name << " " << t;
      ASSERT_EQ(local.wMilliseconds, 123) << name << " " << t;
    }
  }
}

TEST(ZoneRules, FatAccessDateDependsOnTheDisplayZone) {
  std::unique_ptr<Platform> platform = MakeNativePlatform();
  ScopedZone zone("JST-9");
  // A FAT file written in Japan: access date 2011-01-30 00:00 local, which is
  // 2011-01-29 15:00 UTC; write time on an even second.
  constexpr FILETIME kAccess = 129407868000000000;
  constexpr FILETIME kWrite = kAccess + 3723 * 10000000ull + 10000000;
  TimeForm local;
  TimeForm utc{true, false};
  auto verdict = [&](TimeForm o) {
    return std::string(ClassifyTimestampOrigin(
        RenderTimestamp(kAccess, o, *platform), RenderTimestamp(kWrite, o, *platform),
        RenderTimestamp(0, o, *platform), RenderTimestamp(kWrite + 1200000, o, *platform)));
  };
  EXPECT_EQ(verdict(local), "FAT");
  EXPECT_EQ(verdict(utc), "exFAT");
}

}  // namespace
}  // namespace qst
