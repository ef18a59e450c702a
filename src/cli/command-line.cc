#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "cli/getopt.h"
#include "cli/options.h"
#include "cli/usage.h"

namespace qst {
namespace {

enum LongOnly {
  kVersion = 256,
  kHelp,
  kJson,
  kCsv,
  kBodyfile,
  kEvents,
  kReport,
  kUsnJournal,
  kJournalOnly,
  kLogfileOnly,
  kFatZone,
  kShadowStorage
};

// The options of the program itself; each witness adds its own.
constexpr LongOption kOwnLongOptions[] = {
    {"bodyfile", false, kBodyfile},
    {"csv", false, kCsv},
    {"events", false, kEvents},
    {"fat-zone", true, kFatZone},
    {"help", false, kHelp},
    {"image", true, 'd'},
    {"iso", false, 'i'},
    {"jobs", true, 'j'},
    {"journal-only", false, kJournalOnly},
    {"logfile-only", false, kLogfileOnly},
    {"json", false, kJson},
    {"list", false, 'l'},
    {"offset", true, 'o'},
    {"one-file-system", false, 'x'},
    {"recursive", false, 'r'},
    {"report", true, kReport},
    {"rows", false, 'e'},
    {"shadow-storage", true, kShadowStorage},
    {"usn-journal", true, kUsnJournal},
    {"utc", false, 'u'},
    {"version", false, kVersion},
};
constexpr char kOwnLetters[] = "d:ehij:lo:rux";

// Every long option, ended by a null name.
std::vector<LongOption> LongOptions() {
  std::vector<LongOption> all(std::begin(kOwnLongOptions), std::end(kOwnLongOptions));
  for (const WitnessOption& w : kWitnessOptions)
    all.push_back({w.long_name, false, w.letter, w.file_too});
  all.push_back({nullptr, false, 0});
  return all;
}

// Every option letter.
std::string Letters() {
  std::string letters = kOwnLetters;
  for (const WitnessOption& w : kWitnessOptions) letters += w.letter;
  return letters;
}

// The witness an option letter asks for; null for none.
const WitnessOption* WitnessOf(int c) {
  for (const WitnessOption& w : kWitnessOptions)
    if (w.letter == c) return &w;
  return nullptr;
}

// Reads an option's number: decimal digits only, at most `max`.
bool ParseNumber(const char* text, std::int64_t max, std::int64_t* value) {
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text, &end, 10);
  if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 || v > max) return false;
  *value = v;
  return true;
}

const char* FormName(MachineForm form) {
  switch (form) {
    case MachineForm::kJson: return "--json";
    case MachineForm::kRfc4180Csv: return "--csv";
    case MachineForm::kBodyfile: return "--bodyfile";
    case MachineForm::kEvents: return "--events";
    case MachineForm::kNone: break;
  }
  return "";
}

MachineForm FormOf(int option) {
  switch (option) {
    case kJson: return MachineForm::kJson;
    case kCsv: return MachineForm::kRfc4180Csv;
    case kEvents: return MachineForm::kEvents;
    default: return MachineForm::kBodyfile;
  }
}

// What the scan of the options leaves to be checked.
struct Scanned {
  const char* sector = nullptr;
  const char* jobs = nullptr;
  // An option beyond the original six (-e -h -i -l -r -u) was given.
  bool extended = false;
};

// An offset from UTC: "UTC", or a sign, hours and minutes ("+01:00",
// "-0530"), at most 14 hours; in minutes east.
bool ParseZone(std::string_view text, int* minutes) {
  if (text == "UTC" || text == "utc" || text == "Z") {
    *minutes = 0;
    return true;
  }
  if (text.size() != 6 && text.size() != 5) return false;
  if (text[0] != '+' && text[0] != '-') return false;
  std::string digits;
  for (char c : text.substr(1))
    if (c != ':') digits += c;
  if (digits.size() != 4 || (text.size() == 6 && text[3] != ':')) return false;
  for (char c : digits)
    if (c < '0' || c > '9') return false;
  const int hours = (digits[0] - '0') * 10 + (digits[1] - '0');
  const int mins = (digits[2] - '0') * 10 + (digits[3] - '0');
  if (mins >= 60 || hours * 60 + mins > 14 * 60) return false;
  *minutes = (text[0] == '-' ? -1 : 1) * (hours * 60 + mins);
  return true;
}

// Records --fat-zone's zone; false after saying why it cannot be taken.
bool TakeZone(const char* value, Output& err, RunOptions& options) {
  int minutes = 0;
  if (!ParseZone(value, &minutes)) {
    err.Printf("qst: --fat-zone wants an offset from UTC (+01:00, -05:30 or UTC), not '%s'\n",
               value);
    return false;
  }
  options.fat_zone = minutes;
  return true;
}

// Records one option; false with `*status` set when the run ends here.
// Records the file that --report= or --shadow-storage= names; false after
// saying that it names none.
bool TakeName(int c, const char* name, Output& err, RunOptions& options) {
  if (*name == '\0') {
    err.Write(c == kReport ? "qst: --report= wants the name of the page to write (FILE.html)\n"
                           : "qst: --shadow-storage= wants the image of the volume the shadow "
                             "copies' data lies on\n");
    return false;
  }
  if (c == kReport) {
    options.report = name;
  } else {
    options.witnesses.add(Witness::kSnapshots);
    options.shadow_storage = name;
  }
  return true;
}

bool TakeOption(int c, const OptionScanState& scan, Output& out, Output& err, const char* program,
                const char* image_formats, RunOptions& options, Scanned* scanned, int* status) {
  auto end = [status](int with) {
    *status = with;
    return false;
  };
  if (c != 'e' && c != 'h' && c != 'i' && c != 'l' && c != 'r' && c != 'u' && c != '?')
    scanned->extended = true;
  if (const WitnessOption* w = WitnessOf(c)) {
    options.witnesses.add(w->witness);
    if (w->witness == Witness::kLog && scan.optarg != nullptr) {
      if (*scan.optarg == '\0') {
        err.Write("qst: --logfile= wants the name of a $LogFile collected apart\n");
        return end(kStatusBadUsage);
      }
      options.logfile = scan.optarg;
    }
    return true;
  }
  switch (c) {
    case kVersion: PrintVersion(out, image_formats); return end(kStatusOk);
    case kJson:
    case kCsv:
    case kBodyfile:
    case kEvents:
      if (options.machine != MachineForm::kNone && options.machine != FormOf(c)) {
        err.Printf("qst: can't use %s with %s\n", FormName(options.machine), FormName(FormOf(c)));
        return end(kStatusBadUsage);
      }
      options.machine = FormOf(c);
      break;
    case 'e': options.csv = true; break;
    case 'i': options.iso = true; break;
    case 'l': options.list = true; break;
    case 'r': options.recursive = true; break;
    case 'u': options.utc = true; break;
    case kUsnJournal:
      options.witnesses.add(Witness::kUsn);
      options.usn_journal = scan.optarg;
      break;
    case kJournalOnly: options.journal_only = true; break;
    case kLogfileOnly: options.logfile_only = true; break;
    case kFatZone:
      if (!TakeZone(scan.optarg, err, options)) return end(kStatusBadUsage);
      break;
    case kReport:
    case kShadowStorage:
      if (!TakeName(c, scan.optarg, err, options)) return end(kStatusBadUsage);
      break;
    case 'j': scanned->jobs = scan.optarg; break;
    case 'd': options.image = scan.optarg; break;
    case 'o': scanned->sector = scan.optarg; break;
    case 'h': PrintUsage(out); return end(kStatusHelp);
    case kHelp: PrintHelp(out, program, image_formats); return end(kStatusOk);
    case 'x': options.one_file_system = true; break;
    case '?': PrintUsage(out); return end(kStatusBadUsage);
    default: break;
  }
  return true;
}

// Every witness reads an image; but a journal or a log collected apart is
// listed without one, and so it is told last.
int CheckWitnesses(const RunOptions& options, Output& err) {
  if (options.reads_image()) return kStatusOk;
  const bool journal_alone = options.journal_only && !options.usn_journal.empty();
  const bool log_alone = options.logfile_only && !options.logfile.empty();
  auto alone = [&](Witness w) {
    return (w == Witness::kUsn && journal_alone) || (w == Witness::kLog && log_alone);
  };
  const WitnessOption* refused = nullptr;
  for (const WitnessOption& w : kWitnessOptions)
    if (options.wants(w.witness) && !alone(w.witness) &&
        (refused == nullptr || refused->witness == Witness::kUsn))
      refused = &w;
  if (refused == nullptr) return kStatusOk;
  err.Printf("qst: can't use -%c without -d\n", refused->letter);
  return kStatusBadUsage;
}

// The rules of the listings of the journal and the log.
int CheckListings(const RunOptions& options, Output& err) {
  if (options.journal_only && !options.wants(Witness::kUsn)) {
    err.Write("qst: can't use --journal-only without -U\n");
    return kStatusBadUsage;
  }
  if (options.logfile_only && !options.wants(Witness::kLog)) {
    err.Write("qst: can't use --logfile-only without -L\n");
    return kStatusBadUsage;
  }
  if (options.logfile_only && options.journal_only) {
    err.Write("qst: can't use --logfile-only with --journal-only\n");
    return kStatusBadUsage;
  }
  // The witnesses read beside each file have no file to join to there.
  for (Witness w : {Witness::kSnapshots, Witness::kIndex, Witness::kLog, Witness::kReference}) {
    if (options.journal_only && options.wants(w)) {
      err.Printf("qst: can't use -%c with --journal-only\n", OptionOf(w).letter);
      return kStatusBadUsage;
    }
  }
  for (Witness w : {Witness::kSnapshots, Witness::kIndex, Witness::kUsn, Witness::kReference}) {
    if (options.logfile_only && options.wants(w)) {
      err.Printf("qst: can't use -%c with --logfile-only\n", OptionOf(w).letter);
      return kStatusBadUsage;
    }
  }
  return kStatusOk;
}

// The rules between options, checked once all are read, in this order. The
// one rule of the original command line says so on standard output; the
// others are this program's own, told on standard error.
int CheckOptions(const Scanned& scanned, Output& out, Output& err, RunOptions& options) {
  if (options.list && options.recursive) {
    out.Write("Can't specify -l and -r simultaneously.\n");
    return kStatusBadUsage;
  }
  if (options.csv && options.machine != MachineForm::kNone) {
    err.Printf("qst: can't use %s with -e\n", FormName(options.machine));
    return kStatusBadUsage;
  }
  if (!options.report.empty()) {
    // Only a page is written there: never over an image or a list by mistake.
    std::string_view name = options.report;
    std::size_t dot = name.rfind('.');
    std::string ext(dot == std::string_view::npos ? "" : name.substr(dot));
    for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (ext != ".html" && ext != ".htm") {
      err.Printf("qst: --report wants a file ending in .html, not '%s'\n", options.report.c_str());
      return kStatusBadUsage;
    }
    if (options.journal_only || options.logfile_only) {
      err.Printf("qst: can't use --report with %s\n",
                 options.journal_only ? "--journal-only" : "--logfile-only");
      return kStatusBadUsage;
    }
  }
  if (options.one_file_system && !options.recursive) {
    err.Write("qst: can't use -x without -r\n");
    return kStatusBadUsage;
  }
  if (options.fat_zone.has_value() && !options.reads_image()) {
    err.Write("qst: can't use --fat-zone without -d\n");
    return kStatusBadUsage;
  }
  if (options.one_file_system && options.reads_image()) {
    // An image's volume is one file system: there is nothing to stay on.
    err.Write("qst: can't use -x with -d\n");
    return kStatusBadUsage;
  }
  if (scanned.jobs != nullptr) {
    std::int64_t value = 0;
    if (!ParseNumber(scanned.jobs, 64, &value) || value < 1) {
      err.Printf("qst: -j wants a number of threads from 1 to 64, not '%s'\n", scanned.jobs);
      return kStatusBadUsage;
    }
    options.jobs = static_cast<int>(value);
  }
  if (scanned.sector != nullptr && !options.reads_image()) {
    err.Write("qst: can't use -o without -d\n");
    return kStatusBadUsage;
  }
  if (scanned.sector != nullptr &&
      !ParseNumber(scanned.sector, std::numeric_limits<std::int64_t>::max(), &options.sector)) {
    err.Printf("qst: -o wants a sector number, not '%s'\n", scanned.sector);
    return kStatusBadUsage;
  }
  if (int status = CheckListings(options, err); status != kStatusOk) return status;
  return CheckWitnesses(options, err);
}

}  // namespace

bool ParseCommandLine(int argc, char** argv, Output& out, Output& err, const char* image_formats,
                      CommandLine* command, int* status) {
  RunOptions options;
  OptionScanState scan;
  Scanned scanned;
  const std::vector<LongOption> long_options = LongOptions();
  const std::string letters = Letters();
  for (int c; (c = getopt_long(argc, argv, letters.c_str(), long_options.data(), scan, err)) != -1;)
    if (!TakeOption(c, scan, out, err, argv[0], image_formats, options, &scanned, status))
      return false;
  // The journal alone is listed without operands; otherwise they are
  // what the run is for.
  if (scan.optind >= argc && !options.usn_journal.empty()) options.journal_only = true;
  if (scan.optind >= argc && !options.logfile.empty() && !options.journal_only)
    options.logfile_only = true;
  if (options.journal_only && scan.optind < argc) {
    err.Write("qst: can't use --journal-only with a FILENAME\n");
    *status = kStatusBadUsage;
    return false;
  }
  if (options.logfile_only && scan.optind < argc) {
    err.Write("qst: can't use --logfile-only with a FILENAME\n");
    *status = kStatusBadUsage;
    return false;
  }
  if (scan.optind >= argc && !options.journal_only && !options.logfile_only) {
    // The original command line gets the original usage text; a run of this
    // program's own options may be writing a form to a file, which a usage
    // text would make no longer one.
    if (scanned.extended)
      err.Printf("qst: no FILENAME given\nTry '%s --help' for more information.\n", argv[0]);
    else
      PrintUsage(out);
    *status = kStatusBadUsage;
    return false;
  }
  if ((*status = CheckOptions(scanned, out, err, options)) != kStatusOk) return false;
  command->options = std::move(options);
  command->first_operand = scan.optind;
  return true;
}

}  // namespace qst
