// One line on a terminal that tells how far a long run has come: files
// reported and how fast, or, while a disk image's MFT is read, the share of
// its records read. It appears once a run has taken a second, changes at
// most ten times a second, and is erased at the end.
#pragma once

#include <chrono>
#include <cstdint>

#include "cli/output.h"

namespace qst {

class Progress {
 public:
  using Clock = std::chrono::steady_clock;

  using Now = Clock::time_point (*)();

  // Writes to `terminal` once shown; until then does nothing at all. `now`
  // tells the time.
  explicit Progress(Output& terminal, Now now = &Clock::now)
      : terminal_(terminal), now_(now), start_(now()) {}
  void Show(bool shown) { shown_ = shown; }
  ~Progress() { Finish(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void FileDone() {
    ++files_;
    if (shown_ && (files_ & 63) == 0) Tick();
  }
  void MftRead(std::uint64_t done, std::uint64_t total);
  // Refreshes the line, if it is due.
  void Tick();
  // Erases the line, if it was shown.
  void Finish();

 private:
  Output& terminal_;
  Now now_;
  bool shown_ = false;
  Clock::time_point start_;
  Clock::time_point rate_start_ = start_;  // files are counted from here
  Clock::time_point last_{};
  bool visible_ = false;
  std::uint64_t files_ = 0;
  std::uint64_t mft_done_ = 0, mft_total_ = 0;
  bool reading_mft_ = false;
};

}  // namespace qst
