// What every step of a run reads: the options, the platform and the two
// output streams.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cli/options.h"
#include "cli/output.h"
#include "cli/progress.h"
#include "print/html-report.h"
#include "print/layout.h"
#include "probe/evidence.h"
#include "probe/platform.h"

namespace qst {

// What printing records writes, gathered to be written later: the text for
// standard output, the messages for standard error with where each falls in
// that text, the rows shown and whether some path failed.
struct PrintedText {
  std::string out;
  std::vector<std::pair<std::size_t, std::string>> errors;
  std::size_t rows = 0;
  std::size_t failures = 0;  // paths that could not be reported
  bool failed = false;
  bool before_volume = false;  // a sign or note weighed a time against the volume's creation
  void clear() {
    out.clear();
    errors.clear();
    rows = 0;
    failures = 0;
    failed = false;
    before_volume = false;
  }
};

// Paths and list lines longer than this are refused.
inline constexpr std::size_t kMaxPath = 8191;

struct Context {
  Context(Platform* platform_in, Output& out_in, Output& err_in)
      : platform(platform_in), out(out_in), err(err_in) {}

  const Layout& layout() const {
    if (options.report_only()) return kNoLayout;
    switch (options.machine) {
      case MachineForm::kJson: return kJsonLayout;
      case MachineForm::kRfc4180Csv: return kRfc4180Layout;
      case MachineForm::kBodyfile: return kBodyfileLayout;
      case MachineForm::kEvents: return kEventsLayout;
      case MachineForm::kNone: break;
    }
    return options.rows ? kRowLayout : kBlockLayout;
  }
  // Where messages about the run go: among the records for a person, on
  // standard error when another program reads the records.
  Output& notes() { return options.machine == MachineForm::kNone ? out : err; }

  RunOptions options;
  Platform* platform;
  Output& out;
  Output& err;
  ImageOpener open_image = nullptr;     // null where images are not supported
  const char* image_formats = nullptr;  // what open_image reads, for --version
  // Whether a progress line may be shown: standard error is a terminal and
  // standard output is not.
  bool progress_allowed = false;
  // Makes a file for the run's own output (the report); null where the run
  // may write no files.
  std::unique_ptr<ByteSink> (*make_file)(const std::string& path, int* error) = nullptr;
  // Makes the process's standard output carry bytes as they are; null when
  // the output is not the process's.
  void (*set_output_bytes)() = nullptr;
  Progress progress{err};  // told of each record printed
  // Whether some operand or walked entry could not be reported: the run
  // then ends with status 1.
  bool failed = false;
  // How many paths could not be reported, their error rows on standard
  // output; and whether to count them at the end on standard error (where
  // standard output is not a terminal, as when a run writes to a file).
  std::uint64_t unreported = 0;
  bool count_unreported = false;
  // Whether some file's times lay before the volume was made: the run then
  // says when that was.
  bool before_volume = false;
  PrintedText printed;  // reused for each record's text
  // --report: the page being gathered, and where it goes.
  std::unique_ptr<HtmlReport> report;
  std::unique_ptr<ByteSink> report_sink;
};

}  // namespace qst
