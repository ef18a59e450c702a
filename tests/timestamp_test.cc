#include "time/timestamp.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "fake_platform.h"

namespace qst {
namespace {

class TimestampText : public ::testing::Test {
 protected:
  std::string Render(FILETIME raw, bool utc, bool iso = false) {
    RenderedTimestamp r = RenderTimestamp(raw, TimeForm{utc, iso}, zone_);
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
  RenderedTimestamp r = RenderTimestamp(kMax + 1, TimeForm{true, false}, zone_);
  EXPECT_FALSE(r.converted);
  EXPECT_EQ(r.broken.wYear, 0);
}

// The expected text built from the C++ calendar's own day count, apart from
// the split under test.
std::string CalendarText(FILETIME raw, bool iso) {
  using namespace std::chrono;
  constexpr std::int64_t kDaysFrom1601To1970 = 134774;
  std::int64_t seconds = static_cast<std::int64_t>(raw / kTicksPerSecond);
  year_month_day date{sys_days{days{seconds / 86400 - kDaysFrom1601To1970}}};
  auto pad = [](long long value, std::size_t width) {
    std::string digits = std::to_string(value);
    return std::string(width > digits.size() ? width - digits.size() : 0, '0') + digits;
  };
  std::int64_t second = seconds % 86400;
  return pad(static_cast<int>(date.year()), 4) + (iso ? "-" : "/") +
         pad(static_cast<unsigned>(date.month()), 2) + (iso ? "-" : "/") +
         pad(static_cast<unsigned>(date.day()), 2) + (iso ? "T" : " ") + pad(second / 3600, 2) +
         ":" + pad(second / 60 % 60, 2) + ":" + pad(second % 60, 2) + "." +
         pad(static_cast<long long>(raw % kTicksPerSecond), 7) + "00";
}

TEST(TimestampFormat, BothFormsAgreeWithTheCalendarAcrossTheRange) {
  std::uint64_t state = 12345;
  for (int i = 0; i < 5000; ++i) {
    state = state * 6364136223846793005 + 1442695040888963407;
    // Many magnitudes below 2^63, within the years the C++ calendar holds.
    FILETIME raw = (state >> (1 + i % 8)) % 0x7000000000000000 / 8;
    SYSTEMTIME st;
    ASSERT_TRUE(FileTimeToSystemTime(raw, &st));
    std::int64_t fraction = static_cast<std::int64_t>(raw % kTicksPerSecond);
    for (bool iso : {false, true}) {
      char text[64];
      int n = FormatTimestamp(fraction, st, TimeForm{true, iso}, text);
      std::string expected = CalendarText(raw, iso);
      ASSERT_EQ(text, expected) << raw;
      ASSERT_EQ(n, static_cast<int>(expected.size()));
    }
  }
}

}  // namespace
}  // namespace qst
