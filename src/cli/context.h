// What every step of a run reads: the options, the platform and the two
// output streams.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "cli/output.h"
#include "probe/platform.h"
#include "time/timestamp.h"

namespace qst {

// Paths and list lines longer than this are refused.
inline constexpr std::size_t kMaxPath = 8191;

// The disk image named with -d, and the sector its volume starts at (-o;
// -1 when not given).
struct ImageSelection {
  std::string path;
  std::int64_t sector = -1;
};

// Opens the NTFS volume of a disk image as the platform to report from. On
// failure returns null after writing one line that names the image and the
// reason. Lists the volumes of a partitioned image with several.
using ImageOpener = std::unique_ptr<Platform> (*)(const ImageSelection& image, Platform& host,
                                                  Output& out);

// The image layer of this build; null when it reads no disk images.
ImageOpener NativeImageOpener();

struct Context {
  Context(Platform* platform_in, Output& out_in, Output& err_in)
      : platform(platform_in), out(out_in), err(err_in) {}

  RunOptions options;
  Platform* platform;
  Output& out;
  Output& err;
  ImageSelection image;
  ImageOpener open_image = nullptr;  // null where images are not supported
};

}  // namespace qst
