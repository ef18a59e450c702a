// What the command line asked for, recorded by the entry before anything
// runs and only read afterwards.
#pragma once

#include "time/timestamp.h"

namespace qst {

struct RunOptions {
  int csv = 0;        // -e
  int iso = 0;        // -i
  int list = 0;       // -l
  int recursive = 0;  // -r
  int utc = 0;        // -u

  TimeForm time_form() const { return {utc != 0, iso != 0}; }
};

// Exit statuses of the program. A POSIX shell sees the last two as 255 and
// 254.
inline constexpr int kStatusOk = 0;
inline constexpr int kStatusHelp = -1;
inline constexpr int kStatusBadUsage = -2;

}  // namespace qst
