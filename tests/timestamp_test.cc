#include "time/timestamp.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "probe/platform.h"

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

class TimestampText : public ::testing::Test {
 protected:
  std::string Render(FILETIME raw, bool utc, bool iso = false) {
    RunOptions options;
    options.utc = utc;
    options.iso = iso;
    RenderedTimestamp r = RenderTimestamp(raw, options, *platform_);
    return std::string(r.text) + " " + r.zone;
  }
  std::unique_ptr<Platform> platform_ = MakeNativePlatform();
};

constexpr FILETIME kSample = 129408480001234567;  // 2011-01-30 08:00:00.1234567 UTC
constexpr FILETIME kMax = 0x7FFFFFFFFFFFFFFF;

TEST_F(TimestampText, ZeroIsTheEpochInBothForms) {
  EXPECT_EQ(Render(0, true), "1601/01/01 00:00:00.000000000 (UTC)");
  EXPECT_EQ(Render(0, true, true), "1601-01-01T00:00:00.000000000 (UTC)");
}

TEST_F(TimestampText, KeepsSevenFractionDigitsPaddedWithZeros) {
  EXPECT_EQ(Render(kSample, true), "2011/01/30 08:00:00.123456700 (UTC)");
  EXPECT_EQ(Render(kSample, true, true), "2011-01-30T08:00:00.123456700 (UTC)");
  FILETIME whole = kSample - 1234567;
  EXPECT_EQ(Render(whole, true), "2011/01/30 08:00:00.000000000 (UTC)");
  EXPECT_EQ(Render(whole + 1, true), "2011/01/30 08:00:00.000000100 (UTC)");
}

TEST_F(TimestampText, FractionNeverComesFromMilliseconds) {
  FILETIME second = kSample - 1234567;
  EXPECT_EQ(Render(second + 1230000, true), "2011/01/30 08:00:00.123000000 (UTC)");
  EXPECT_EQ(Render(second + 1239999, true), "2011/01/30 08:00:00.123999900 (UTC)");
}

TEST_F(TimestampText, LargestValueHasAFiveDigitYear) {
  EXPECT_EQ(Render(kMax, true), "30828/09/14 02:48:05.477580700 (UTC)");
}

TEST_F(TimestampText, CalendarSplitIsProlepticGregorian) {
  constexpr FILETIME kDay = 864000000000;
  SYSTEMTIME st;
  // 1601 + 400 years: 1700, 1800 and 1900 are not leap years, 2000 is.
  ASSERT_TRUE(FileTimeToSystemTime(kDay * (146097 - 1), &st));
  EXPECT_EQ(st.wYear, 2000);
  EXPECT_EQ(st.wMonth, 12);
  EXPECT_EQ(st.wDay, 31);
  ASSERT_TRUE(FileTimeToSystemTime(kDay * 146097, &st));
  EXPECT_EQ(st.wYear, 2001);
  EXPECT_EQ(st.wDay, 1);
  // 1700-02-28 is followed by 1700-03-01.
  ASSERT_TRUE(FileTimeToSystemTime(kDay * (99 * 365 + 24 + 31 + 28), &st));
  EXPECT_EQ(st.wMonth, 3);
  EXPECT_EQ(st.wDay, 1);
  // 2000-02-29 exists.
  ASSERT_TRUE(FileTimeToSystemTime(125962560000000000, &st));
  EXPECT_EQ(st.wYear, 2000);
  EXPECT_EQ(st.wMonth, 2);
  EXPECT_EQ(st.wDay, 29);
  EXPECT_EQ(st.wDayOfWeek, 2);  // a Tuesday
  EXPECT_EQ(SystemTimeToUnixSeconds(st), 951782400);
  EXPECT_FALSE(FileTimeToSystemTime(kMax + 1, &st));
}

TEST_F(TimestampText, LocalTimeFollowsTheZoneNineHoursEast) {
  ScopedZone zone("JST-9");
  EXPECT_EQ(Render(kSample, false), "2011/01/30 17:00:00.123456700 (LOCAL)");
  EXPECT_EQ(Render(kSample, true), "2011/01/30 08:00:00.123456700 (UTC)");
}

TEST_F(TimestampText, LocalTimeUsesDaylightTimeInSummerOnly) {
  ScopedZone zone("EST5EDT,M3.2.0,M11.1.0");
  // 2011-07-01 12:00:00.5 UTC is 08:00 EDT; 2011-01-30 08:00 UTC is 03:00 EST.
  constexpr FILETIME kJuly = 129539952005000000;
  EXPECT_EQ(Render(kJuly, false), "2011/07/01 08:00:00.500000000 (LOCAL)");
  EXPECT_EQ(Render(kSample, false), "2011/01/30 03:00:00.123456700 (LOCAL)");
}

TEST_F(TimestampText, ValuesBeyondTheRangePrintZeroDateWithSignedFraction) {
  // -42 as a signed value: unconvertible, its fraction keeps the sign.
  EXPECT_EQ(Render(static_cast<FILETIME>(-42), true), "0000/00/00 00:00:00.-00004200 (UTC)");
  EXPECT_EQ(Render(static_cast<FILETIME>(-42), false, true),
            "0000-00-00T00:00:00.-00004200 (LOCAL)");
  RunOptions options;
  options.utc = 1;
  RenderedTimestamp r = RenderTimestamp(kMax + 1, options, *platform_);
  EXPECT_FALSE(r.converted);
  EXPECT_EQ(r.broken.wYear, 0);
}

TEST_F(TimestampText, LocalTimeBefore1601PrintsZeroDate) {
  ScopedZone zone("EST5");
  EXPECT_EQ(Render(0, false), "0000/00/00 00:00:00.000000000 (LOCAL)");
  EXPECT_EQ(Render(1234567, false), "0000/00/00 00:00:00.123456700 (LOCAL)");
  // Six hours in, the local time is 1601-01-01 01:00.
  EXPECT_EQ(Render(6ull * 3600 * 10000000, false), "1601/01/01 01:00:00.000000000 (LOCAL)");
}

}  // namespace
}  // namespace qst

namespace qst {
namespace {

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

}  // namespace
}  // namespace qst
