// What every step of a run reads: the options, the platform and the two
// output streams.
#pragma once

#include <cstddef>
#include <string>

#include "cli/options.h"
#include "cli/output.h"
#include "probe/layout.h"
#include "probe/platform.h"

namespace qst {

// Paths and list lines longer than this are refused.
inline constexpr std::size_t kMaxPath = 8191;

struct Context {
  Context(Platform* platform_in, Output& out_in, Output& err_in)
      : platform(platform_in), out(out_in), err(err_in) {}

  const Layout& layout() const { return options.csv ? kRowLayout : kBlockLayout; }

  RunOptions options;
  Platform* platform;
  Output& out;
  Output& err;
  ImageSelection image;
  ImageOpener open_image = nullptr;  // null where images are not supported
  std::string text;                  // reused for each record's text
};

}  // namespace qst
