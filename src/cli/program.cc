#include "cli/program.h"

#include <clocale>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "cli/context.h"
#include "cli/entry.h"
#include "probe/platform.h"

namespace qst {

int RunProgram(std::vector<std::string> arguments) {
  std::setlocale(LC_ALL, "");
  std::unique_ptr<ByteSink> out_sink = MakeStandardSink(1);
  std::unique_ptr<ByteSink> err_sink = MakeStandardSink(2);
  Output out(out_sink.get());
  Output err(err_sink.get(), &out);
  try {
    std::vector<char*> vector;
    for (std::string& a : arguments) vector.push_back(a.data());
    vector.push_back(nullptr);
    std::unique_ptr<Platform> platform = MakeNativePlatform();
    Context context(platform.get(), out, err);
    context.open_image = NativeImageOpener();
    context.image_formats = NativeImageFormats();
    context.progress_allowed = IsTerminal(2) && !IsTerminal(1);
    context.count_unreported = !IsTerminal(1);
    context.set_output_bytes = SetStandardOutputBytes;
    context.make_file = MakeFileSink;
    int status = RunEntry(static_cast<int>(arguments.size()), vector.data(), context);
    out.Flush();
    if (!out.ok()) {
      // A report that did not reach its destination is no success.
      err.Printf("qst: error writing standard output: %s\n",
                 out.error() != 0 ? std::strerror(out.error()) : "the output was refused");
      return kStatusFailure;
    }
    return status;
  } catch (const std::bad_alloc&) {
    err.Write("qst: out of memory\n");
    return kStatusFailure;
  }
}

}  // namespace qst
