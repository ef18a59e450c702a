#include "cli/entry.h"

#include "cli/getopt.h"
#include "cli/targets.h"

namespace qst {

void PrintUsage(Output& out) {
  static constexpr const char* kUsage[] = {
      "-- Quillstamp(qst) v1.4 -- \n",
      "   Quillstamp reads only: it changes nothing on the volumes it examines.\n\n",
      "   qst extracts accurate 4 timestamps of specified files/folders.\n\n",
      "   Usage: qst.exe [options] [-l|-r] FILENAME [FILENAME2] [FILENAME3] ...\n",
      "      -e: Output CSV-like Format\n",
      "      -h: Help\n",
      "      -i: Use ISO 8601 format (default: YYYY/MM/DD hh:mm:ss.sss...)\n",
      "      -l: Process FILENAME(s) as list\n",
      "      -r: Process recursively. FILENAME(s) allow only volume or folder.\n",
      "      -u: Use UTC (default: Local Timezone)\n\n",
      "   Examples:\n",
      "    > qst.exe C:\\config.sys\n",
      "      Print adjusted date/time of config.sys. Timezone depends on machine.\n",
      "    > qst.exe -u -i C:\\config.sys\n",
      "      Print ISO 8601 format (UTC) of config.sys. \n",
      "    > qst.exe -e -l list.txt\n",
      "      Print adjusted date/time with CSV. Target is described in list.txt.\n",
      "    > qst.exe -e -r C:\\WINDOWS\\ \n",
      "      Print all files/folders under C:\\WINDOWS\\ with CSV.\n",
  };
  for (const char* line : kUsage) out.Write(line);
}

void PrintSystemError(const std::string& path, int code, Context& context) {
  context.out.Printf("\n%s, CODE=%d:%s\n", path.c_str(), code,
                     context.platform.ErrorText(code).c_str());
}

int RunEntry(int argc, char** argv, Context& context) {
  RunOptions& options = context.options;
  options = RunOptions{};
  OptionScanState scan;
  for (;;) {
    int c = getopt(argc, argv, "ehliru", scan, context.err);
    if (c == -1) break;
    switch (c) {
      case 'e': options.csv = 1; break;
      case 'i': options.iso = 1; break;
      case 'l': options.list = 1; break;
      case 'r': options.recursive = 1; break;
      case 'u': options.utc = 1; break;
      case 'h': PrintUsage(context.out); return kStatusHelp;
      case '?': PrintUsage(context.out); return kStatusBadUsage;
      default: break;
    }
  }
  if (scan.optind >= argc) {
    PrintUsage(context.out);
    return kStatusBadUsage;
  }
  if (options.list && options.recursive) {
    context.out.Write("Can't specify -l and -r simultaneously.\n");
    return kStatusBadUsage;
  }
  if (options.csv) context.out.Write(kHeaderRow);
  return ProcessOperands(argc, argv, scan.optind, context);
}

}  // namespace qst
