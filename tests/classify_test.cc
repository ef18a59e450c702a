#include "time/classify.h"

#include <gtest/gtest.h>

#include <string>

namespace qst {
namespace {

// A timestamp as the verdict sees it: broken-down second in the display zone
// and the 100-ns fraction. `raw` is derived, so equal inputs compare equal.
RenderedTimestamp At(int hour, int minute, int second, std::int64_t fraction) {
  RenderedTimestamp t;
  t.broken.wYear = 2011;
  t.broken.wMonth = 6;
  t.broken.wDay = 2;
  t.broken.wHour = static_cast<std::uint16_t>(hour);
  t.broken.wMinute = static_cast<std::uint16_t>(minute);
  t.broken.wSecond = static_cast<std::uint16_t>(second);
  t.fraction = fraction;
  t.raw = 129514000000000000 + ((hour * 60 + minute) * 60 + second) * 10000000ull +
          static_cast<FILETIME>(fraction);
  t.converted = true;
  return t;
}
RenderedTimestamp Zero() { return RenderedTimestamp{}; }
RenderedTimestamp Frac(std::int64_t fraction) { return At(12, 34, 56, fraction); }

std::string Verdict(const RenderedTimestamp& a, const RenderedTimestamp& m,
                    const RenderedTimestamp& c, const RenderedTimestamp& cr) {
  return ClassifyTimestampOrigin(a, m, c, cr);
}

TEST(OriginWithoutChangeTime, MissingTimesAreUnknown) {
  EXPECT_EQ(Verdict(Zero(), Zero(), Zero(), Zero()), "Unknown");
  EXPECT_EQ(Verdict(Frac(5), Zero(), Zero(), Frac(5)), "Unknown");
  EXPECT_EQ(Verdict(Zero(), Frac(5), Zero(), Frac(5)), "Unknown");
}

TEST(OriginWithoutChangeTime, BareAccessDateIsFat) {
  EXPECT_EQ(Verdict(At(0, 0, 0, 0), At(12, 34, 56, 0), Zero(), Frac(1200000)), "FAT");
  // An odd write second is not FAT; the times then pass the exFAT test.
  EXPECT_EQ(Verdict(At(0, 0, 0, 0), At(12, 34, 57, 0), Zero(), Frac(1200000)), "exFAT");
  // The fraction of the access time is not consulted.
  EXPECT_EQ(Verdict(At(0, 0, 0, 5), At(12, 34, 56, 0), Zero(), Frac(1200000)), "FAT");
  // The same FAT file read in UTC from nine hours east: atime 15:00:00.
  EXPECT_EQ(Verdict(At(15, 0, 0, 0), At(3, 34, 56, 0), Zero(), Frac(1200000)), "exFAT");
}

TEST(OriginWithoutChangeTime, EvenWholeAccessSecondIsExfat) {
  EXPECT_EQ(Verdict(At(12, 0, 0, 0), Frac(0), Zero(), Frac(1200000)), "exFAT");
  EXPECT_EQ(Verdict(At(12, 0, 0, 1), Frac(0), Zero(), Frac(1200000)), "FILETIME");
  EXPECT_EQ(Verdict(At(12, 0, 0, 0), Frac(0), Zero(), Frac(1234567)), "FILETIME");
}

TEST(OriginWithChangeTime, WholeSecondsAreUnixOrDos) {
  RenderedTimestamp t = At(12, 34, 56, 0);
  EXPECT_EQ(Verdict(t, t, t, t), "Unix(POSIX)");
  RenderedTimestamp odd = At(12, 34, 57, 0);
  RenderedTimestamp c = At(12, 40, 0, 1234567);
  EXPECT_EQ(Verdict(t, t, c, t), "DOS");
  EXPECT_EQ(Verdict(odd, t, c, t), "Unix(POSIX)");
  EXPECT_EQ(Verdict(t, odd, c, t), "Unix(POSIX)");
  EXPECT_EQ(Verdict(t, t, c, odd), "Unix(POSIX)");
}

TEST(OriginWithChangeTime, WholeSecondWritesCopiedToNtfs) {
  RenderedTimestamp m = At(12, 34, 56, 0);
  RenderedTimestamp a = Frac(1);
  EXPECT_EQ(Verdict(a, m, m, At(1, 0, 0, 0)), "Unix(POSIX)->NTFS");
  EXPECT_EQ(Verdict(At(1, 0, 0, 0), m, m, a), "Unix(POSIX)->NTFS");
  // ctime one second later than mtime: parity of mtime decides.
  EXPECT_EQ(Verdict(a, m, At(12, 34, 57, 0), m), "FAT/ZIP/LZH->NTFS");
  RenderedTimestamp m_odd = At(12, 34, 57, 0);
  EXPECT_EQ(Verdict(a, m_odd, At(12, 34, 58, 0), m_odd), "Unix(POSIX)->NTFS->Operation");
  EXPECT_EQ(Verdict(a, m, At(13, 0, 0, 55), m), "FAT/ZIP/LZH->NTFS");
  EXPECT_EQ(Verdict(a, m_odd, At(13, 0, 0, 55), m_odd), "Unix(POSIX)->NTFS->Operation");
}

TEST(OriginWithChangeTime, SubSecondWritesByGrain) {
  EXPECT_EQ(Verdict(Frac(1234567), Frac(1200000), Frac(5600000), Frac(7800000)), "exFAT->NTFS");
  EXPECT_EQ(Verdict(Frac(3400000), Frac(1200000), Frac(5600000), Frac(7800000)), "SYSTEMTIME");
  // ctime plays no part in the millisecond test.
  EXPECT_EQ(Verdict(Frac(4560000), Frac(1230000), Frac(1234567), Frac(7890000)), "SYSTEMTIME");
  EXPECT_EQ(Verdict(Frac(4560000), Frac(1230000), Frac(1234567), Frac(7891234)), "FILETIME");
}

}  // namespace
}  // namespace qst
