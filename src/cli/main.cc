// The qst executable: a thin entry over the library.
#include <clocale>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "cli/context.h"
#include "cli/entry.h"
#include "probe/platform.h"

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  std::unique_ptr<qst::Output::Sink> out_sink = qst::MakeStandardSink(1);
  std::unique_ptr<qst::Output::Sink> err_sink = qst::MakeStandardSink(2);
  qst::Output out(out_sink.get());
  qst::Output err(err_sink.get(), &out);
  try {
    std::vector<std::string> arguments = qst::CommandLineArguments(argc, argv);
    std::vector<char*> vector;
    for (std::string& a : arguments) vector.push_back(a.data());
    vector.push_back(nullptr);
    std::unique_ptr<qst::Platform> platform = qst::MakeNativePlatform();
    qst::Context context{qst::RunOptions{}, *platform, out, err};
    int status = qst::RunEntry(static_cast<int>(arguments.size()), vector.data(), context);
    out.Flush();
    if (!out.ok()) {
      // A report that did not reach its destination is no success.
      err.Write("qst: error writing standard output\n");
      return qst::kStatusBadUsage;
    }
    return status;
  } catch (const std::bad_alloc&) {
    err.Write("qst: out of memory\n");
    return -2;
  }
}
