// What the command line asked for, recorded by the option parser before
// anything runs and only read afterwards.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "cli/output.h"
#include "probe/record.h"
#include "time/timestamp.h"

namespace qst {

// The forms for other programs to read, each instead of the layouts.
enum class MachineForm { kNone, kJson, kRfc4180Csv, kBodyfile, kEvents };

struct RunOptions {
  bool rows = false;       // -e: the CSV-like row layout
  bool iso = false;        // -i
  bool list = false;       // -l
  bool recursive = false;  // -r
  bool utc = false;        // -u
  // The witnesses asked for, by their options (kWitnesses), what each was
  // given from outside the image ("--NAME=FILE"; empty: none), and the one
  // whose own records the run lists instead of files (its listing option,
  // or a stream named apart without operands); none: the run reports files.
  WitnessSet witnesses;
  std::array<std::string, kWitnessCount> apart;
  std::optional<Witness> listed;
  bool one_file_system = false;              // -x: walks stay on one file system
  std::string report;                        // --report=FILE.html; empty when not given
  int jobs = 0;                              // -j N; 0: as the platform advises
  MachineForm machine = MachineForm::kNone;  // --json, --csv, --bodyfile
  std::string image;                         // -d IMAGE; empty when not given
  std::int64_t sector = -1;                  // -o SECTOR; -1 when not given
  // --fat-zone: the zone a FAT volume's local times were written in, in
  // minutes east of UTC; the run's own zone when not given.
  std::optional<int> fat_zone;

  // The machine forms always carry UTC.
  TimeForm time_form() const {
    return machine != MachineForm::kNone ? TimeForm{true, true} : TimeForm{utc, iso};
  }
  RecordFields fields() const { return {witnesses, !report.empty(), reads_image()}; }
  bool wants(Witness w) const { return witnesses.has(w); }
  std::string& apart_of(Witness w) { return apart[static_cast<std::size_t>(w)]; }
  const std::string& apart_of(Witness w) const { return apart[static_cast<std::size_t>(w)]; }
  // --report without a layout or form: the page is all the run writes.
  bool report_only() const { return !report.empty() && !rows && machine == MachineForm::kNone; }
  bool reads_image() const { return !image.empty(); }
};

// Exit statuses of the program. A POSIX shell sees -1 and -2 as 255 and
// 254.
inline constexpr int kStatusOk = 0;
// The run could not be done (no image, no output), or some operand or walked
// entry could not be reported.
inline constexpr int kStatusFailure = 1;
inline constexpr int kStatusHelp = -1;
inline constexpr int kStatusBadUsage = -2;

// The parsed command line: the options and where the operands start.
struct CommandLine {
  RunOptions options;
  int first_operand = 0;
};

// Reads and checks the options of `argv` (whose pointers it may reorder).
// True with `*command` filled when the run goes on; false with `*status`
// the exit status when it ends here, after writing what the user must see
// to `out` (usage text, version, conflicts) and `err` (the scanner's
// diagnostics). `image_formats` is what --version tells of the image layer
// (null for none).
bool ParseCommandLine(int argc, char** argv, Output& out, Output& err, const char* image_formats,
                      CommandLine* command, int* status);

}  // namespace qst
