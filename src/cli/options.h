// What the command line asked for, recorded by the entry before anything
// runs and only read afterwards.
#pragma once

#include "probe/record.h"
#include "time/timestamp.h"

namespace qst {

// The forms for other programs to read, each instead of the layouts.
enum class MachineForm { kNone, kJson, kCsv, kBodyfile };

struct RunOptions {
  int csv = 0;                               // -e
  int iso = 0;                               // -i
  int list = 0;                              // -l
  int recursive = 0;                         // -r
  int utc = 0;                               // -u
  int names = 0;                             // -n
  int all = 0;                               // -a
  int jobs = 0;                              // -j N; 0: as the platform advises
  MachineForm machine = MachineForm::kNone;  // --json, --csv, --bodyfile

  // The machine forms always carry UTC.
  TimeForm time_form() const {
    return machine != MachineForm::kNone ? TimeForm{true, true} : TimeForm{utc != 0, iso != 0};
  }
  RecordFields fields() const { return {names != 0, all != 0}; }
};

// Exit statuses of the program. A POSIX shell sees the last two as 255 and
// 254.
inline constexpr int kStatusOk = 0;
inline constexpr int kStatusHelp = -1;
inline constexpr int kStatusBadUsage = -2;

}  // namespace qst
