// What every step of a run reads: the options, the platform and the two
// output streams.
#pragma once

#include "cli/output.h"
#include "probe/platform.h"
#include "time/timestamp.h"

namespace qst {

// Paths and list lines longer than this are refused.
inline constexpr std::size_t kMaxPath = 8191;

struct Context {
  RunOptions options;
  Platform& platform;
  Output& out;
  Output& err;
};

}  // namespace qst
