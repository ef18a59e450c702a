#include "cli/entry.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "cli/getopt.h"
#include "cli/targets.h"
#include "probe/wildcard.h"

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
      "      -d IMAGE: FILENAME(s) are paths in the NTFS volume of disk image IMAGE\n",
      "                (raw, split raw, E01, VMDK, VHD), as C:\\dir\\file\n",
      "      -o SECTOR: the volume starts at SECTOR (512 bytes each) of IMAGE\n",
      "      -n: with -d, also the $FILE_NAME times of each file and signs of forged times\n",
      "      -a: with -d, also deleted files; those whose folder is gone under C:\\$Orphan\\\n",
      "      -j N: probe N files at once (default: 8 on FUSE and network file systems, else 1)\n",
      "      --json: one JSON object per file (JSON Lines); times in UTC, ISO 8601\n",
      "      --csv: RFC 4180 CSV with a header row; times in UTC, ISO 8601\n",
      "      --bodyfile: body file for mactime; times in Unix seconds to 100 ns\n",
      "                (-u and -i do not change these three)\n",
      "      --help: this text; --version: the version\n",
  };
  for (const char* line : kUsage) out.Write(line);
}

void PrintSystemError(const std::string& path, int code, Context& context) {
  FileTimestampRecord record;
  record.path = path;
  record.error = code;
  record.error_text = context.platform->ErrorText(code);
  record.fields = context.options.fields();
  PrintRecord(record, context);
}

namespace {

// Reads an option's number: decimal digits only, at most `max`.
bool ParseNumber(const char* text, std::int64_t max, std::int64_t* value) {
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text, &end, 10);
  if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 || v > max) return false;
  *value = v;
  return true;
}

// Whether the operands are a few paths without wildcards, not folders to
// walk or lists to read: a disk image then needs to read only the records
// they lead to.
bool FewPlainPaths(int argc, char** argv, int first, const RunOptions& options) {
  constexpr int kFew = 16;
  if (options.recursive || options.list || options.all || argc - first > kFew) return false;
  for (int i = first; i < argc; ++i)
    if (HasWildcard(std::string_view(argv[i]))) return false;
  return true;
}

// Puts the volume of the image named with -d in place of the machine's file
// system. Returns kStatusOk, or kStatusBadUsage after saying why the image
// cannot be used.
int OpenImage(const char* sector, Context& context, std::unique_ptr<Platform>* image) {
  if (context.image.path.empty()) {
    context.out.Write("Can't use -o without -d.\n");
    return kStatusBadUsage;
  }
  if (sector != nullptr &&
      !ParseNumber(sector, std::numeric_limits<std::int64_t>::max(), &context.image.sector)) {
    context.out.Printf("qst: -o wants a sector number, not '%s'\n", sector);
    return kStatusBadUsage;
  }
  if (context.open_image == nullptr) {
    context.out.Write("qst: this build cannot read disk images\n");
    return kStatusBadUsage;
  }
  std::string message;
  if (context.open_image(context.image, *context.platform, image, &message) != 0) {
    context.err.Write(message);
    return kStatusBadUsage;
  }
  context.platform = image->get();
  return kStatusOk;
}

enum LongOnly { kVersion = 256, kJson, kCsv, kBodyfile };

constexpr LongOption kLongOptions[] = {
    {"all", false, 'a'},        {"bodyfile", false, kBodyfile}, {"csv", false, kCsv},
    {"help", false, 'h'},       {"image", true, 'd'},           {"iso", false, 'i'},
    {"jobs", true, 'j'},        {"json", false, kJson},         {"list", false, 'l'},
    {"name-times", false, 'n'}, {"offset", true, 'o'},          {"recursive", false, 'r'},
    {"utc", false, 'u'},        {"version", false, kVersion},   {nullptr, false, 0},
};

const char* FormName(MachineForm form) {
  switch (form) {
    case MachineForm::kJson: return "--json";
    case MachineForm::kCsv: return "--csv";
    case MachineForm::kBodyfile: return "--bodyfile";
    case MachineForm::kNone: break;
  }
  return "";
}

void PrintVersion(const Context& context) {
  context.out.Write("qst " QST_VERSION "\n");
  if (context.open_image != nullptr && context.image_formats != nullptr)
    context.out.Printf("reads NTFS disk images with -d: %s\n", context.image_formats);
  else
    context.out.Write("this build does not read disk images\n");
}

// Records a machine form; false after saying why when another was chosen.
bool ChooseForm(MachineForm form, Context& context) {
  RunOptions& options = context.options;
  if (options.machine != MachineForm::kNone && options.machine != form) {
    context.out.Printf("Can't use %s with %s.\n", FormName(options.machine), FormName(form));
    return false;
  }
  options.machine = form;
  return true;
}

}  // namespace

int RunEntry(int argc, char** argv, Context& context) {
  RunOptions& options = context.options;
  options = RunOptions{};
  OptionScanState scan;
  const char* sector = nullptr;
  const char* jobs = nullptr;
  for (;;) {
    int c = getopt_long(argc, argv, "ad:ehij:lno:ru", kLongOptions, scan, context.err);
    if (c == -1) break;
    switch (c) {
      case kVersion: PrintVersion(context); return kStatusOk;
      case kJson:
      case kCsv:
      case kBodyfile:
        if (!ChooseForm(c == kJson  ? MachineForm::kJson
                        : c == kCsv ? MachineForm::kCsv
                                    : MachineForm::kBodyfile,
                        context))
          return kStatusBadUsage;
        break;
      case 'e': options.csv = 1; break;
      case 'i': options.iso = 1; break;
      case 'l': options.list = 1; break;
      case 'r': options.recursive = 1; break;
      case 'u': options.utc = 1; break;
      case 'n': options.names = 1; break;
      case 'a': options.all = 1; break;
      case 'j': jobs = scan.optarg; break;
      case 'd': context.image.path = scan.optarg; break;
      case 'o': sector = scan.optarg; break;
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
  if (options.csv && options.machine != MachineForm::kNone) {
    context.out.Printf("Can't use %s with -e.\n", FormName(options.machine));
    return kStatusBadUsage;
  }
  if (options.machine != MachineForm::kNone && context.set_output_bytes != nullptr) {
    context.out.Flush();
    context.set_output_bytes();
  }
  if (jobs != nullptr) {
    std::int64_t value = 0;
    if (!ParseNumber(jobs, 64, &value) || value < 1) {
      context.out.Printf("qst: -j wants a number of threads from 1 to 64, not '%s'\n", jobs);
      return kStatusBadUsage;
    }
    options.jobs = static_cast<int>(value);
  }
  bool image = sector != nullptr || !context.image.path.empty();
  context.progress.Show(context.progress_allowed && (options.recursive || image));
  context.image.progress = [&context](std::uint64_t done, std::uint64_t total) {
    context.progress.MftRead(done, total);
  };
  std::unique_ptr<Platform> image_platform;
  if (image) {
    context.image.deleted = options.all != 0;
    context.image.name_times = options.names != 0;
    context.image.few_paths = FewPlainPaths(argc, argv, scan.optind, options);
    if (int status = OpenImage(sector, context, &image_platform)) return status;
  } else if (options.names || options.all) {
    context.out.Write(options.names ? "Can't use -n without -d.\n" : "Can't use -a without -d.\n");
    return kStatusBadUsage;
  }
  context.out.Write(context.layout().header(options.fields()));
  int status = ProcessOperands(argc, argv, scan.optind, context);
  context.progress.Finish();
  if (std::string lost = context.platform->LossReport(); !lost.empty()) context.err.Write(lost);
  return status;
}

}  // namespace qst
