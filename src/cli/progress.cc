#include "cli/progress.h"

#include <cinttypes>
#include <cstdio>

namespace qst {

void Progress::MftRead(std::uint64_t done, std::uint64_t total) {
  if (!shown_) return;
  mft_done_ = done;
  mft_total_ = total;
  reading_mft_ = done < total;
  if (!reading_mft_) rate_start_ = now_();
  Tick();
}

void Progress::Tick() {
  using std::chrono::milliseconds;
  if (!shown_) return;
  Clock::time_point now = now_();
  if (now - start_ < std::chrono::seconds(1) || (visible_ && now - last_ < milliseconds(100)))
    return;
  last_ = now;
  char line[96];
  if (reading_mft_) {
    std::snprintf(line, sizeof line,
                  "qst: MFT %" PRIu64 "%% read (%" PRIu64 " of %" PRIu64 " records)",
                  mft_total_ ? mft_done_ * 100 / mft_total_ : 0, mft_done_, mft_total_);
  } else {
    double seconds = std::chrono::duration<double>(now - rate_start_).count();
    std::snprintf(line, sizeof line, "qst: %" PRIu64 " files, %.0f files/s", files_,
                  seconds > 0 ? static_cast<double>(files_) / seconds : 0.0);
  }
  terminal_.SetStatus(line);
  visible_ = true;
}

void Progress::Finish() {
  if (!visible_) return;
  terminal_.SetStatus({});
  visible_ = false;
}

}  // namespace qst
