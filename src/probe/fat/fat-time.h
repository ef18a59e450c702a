// FAT's and exFAT's times made FILETIMEs as Windows shows them: a time that
// carries its offset from UTC (exFAT's, where given) by that offset; one
// in local time alone (FAT's always) by the zone the run reads the volume
// in.
#pragma once

#include "probe/fat/fat-entries.h"
#include "time/timestamp.h"

namespace qst {

// False where the fields hold no valid date and time (a month of 0 or 13, a
// 30th of February): such a time is not shown.
bool FatStampToFileTime(const FatStamp& stamp, const LocalTimeConverter& zone, FILETIME* out);

// A zone a fixed number of minutes east of UTC, all year.
class FixedZone : public LocalTimeConverter {
 public:
  explicit FixedZone(int minutes_east) : minutes_(minutes_east) {}
  bool ToLocalTime(const SYSTEMTIME& utc, SYSTEMTIME* local) const override;

 private:
  int minutes_;
};

// The UTC time whose local time in `zone` is `local` (a FILETIME read as
// local time); of two, in the hour daylight time ends, the first.
FILETIME LocalToUtc(FILETIME local, const LocalTimeConverter& zone);

}  // namespace qst
