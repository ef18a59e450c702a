#include "time/timestamp.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "fake_platform.h"

namespace qst {
namespace {

class TimestampText : public ::testing::Test {
 protected:
  std::string Render(FILETIME raw, bool utc, bool iso = false) {
    RunOptions options;
    options.utc = utc;
    options.iso = iso;
    RenderedTimestamp r = RenderTimestamp(raw, options, zone_);
    return std::string(r.text) + " " + r.zone;
  }
  testing::FakePlatform zone_;  // nine hours east
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

TEST_F(TimestampText, ValuesBeyondTheRangePrintZeroDateWithSignedFraction) {
  // -42 as a signed value: unconvertible, its fraction keeps the sign.
  EXPECT_EQ(Render(static_cast<FILETIME>(-42), true), "0000/00/00 00:00:00.-00004200 (UTC)");
  EXPECT_EQ(Render(static_cast<FILETIME>(-42), false, true),
            "0000-00-00T00:00:00.-00004200 (LOCAL)");
  RunOptions options;
  options.utc = 1;
  RenderedTimestamp r = RenderTimestamp(kMax + 1, options, zone_);
  EXPECT_FALSE(r.converted);
  EXPECT_EQ(r.broken.wYear, 0);
}

TEST(TimestampFormat, BothFormsMatchTheirPrintfPatternsAcrossTheRange) {
  std::uint64_t state = 12345;
  for (int i = 0; i < 5000; ++i) {
    state = state * 6364136223846793005 + 1442695040888963407;
    FILETIME raw = state >> (1 + i % 8);  // many magnitudes below 2^63
    SYSTEMTIME st;
    ASSERT_TRUE(FileTimeToSystemTime(raw, &st));
    std::int64_t fraction = static_cast<std::int64_t>(raw % kTicksPerSecond);
    for (int iso : {0, 1}) {
      RunOptions options;
      options.iso = iso;
      char text[64];
      int n = FormatTimestamp(fraction, st, options, text);
      char expected[64];
      std::snprintf(
          expected, sizeof expected,
          iso ? "%04d-%02d-%02dT%02d:%02d:%02d.%07lld00" : "%04d/%02d/%02d %02d:%02d:%02d.%07lld00",
          st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond,
          static_cast<long long>(fraction));
      ASSERT_STREQ(text, expected) << raw;
      ASSERT_EQ(n, static_cast<int>(std::strlen(expected)));
    }
  }
}

}  // namespace
}  // namespace qst
