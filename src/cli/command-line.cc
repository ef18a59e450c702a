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
  kFatZone,
  // A witness's "--NAME=FILE" and its listing option: these plus its place.
  kApart = 512,
  kListing = kApart + kWitnessCount,
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
    {"json", false, kJson},
    {"list", false, 'l'},
    {"offset", true, 'o'},
    {"one-file-system", false, 'x'},
    {"recursive", false, 'r'},
    {"report", true, kReport},
    {"rows", false, 'e'},
    {"utc", false, 'u'},
    {"version", false, kVersion},
};
constexpr char kOwnLetters[] = "d:ehij:lo:rux";

// Every long option, ended by a null name.
std::vector<LongOption> LongOptions() {
  std::vector<LongOption> all(std::begin(kOwnLongOptions), std::end(kOwnLongOptions));
  for (const WitnessDescriptor& w : kWitnesses) {
    const int place = static_cast<int>(w.witness);
    // A witness whose own long option names its evidence apart takes "=FILE".
    const bool own_apart = w.apart != nullptr && std::string_view(w.apart) == w.long_name;
    all.push_back({w.long_name, false, w.letter, own_apart});
    if (w.apart != nullptr && !own_apart) all.push_back({w.apart, true, kApart + place});
    if (w.listing != nullptr) all.push_back({w.listing, false, kListing + place});
  }
  all.push_back({nullptr, false, 0});
  return all;
}

// Every option letter.
std::string Letters() {
  std::string letters = kOwnLetters;
  for (const WitnessDescriptor& w : kWitnesses) letters += w.letter;
  return letters;
}

// The witness an option letter asks for; null for none.
const WitnessDescriptor* WitnessOf(int c) {
  for (const WitnessDescriptor& w : kWitnesses)
    if (w.letter == c) return &w;
  return nullptr;
}

// The witness of a long option numbered from `base` (kApart, kListing);
// null for another option.
const WitnessDescriptor* WitnessOf(int c, int base) {
  if (c < base || c >= base + kWitnessCount) return nullptr;
  return &kWitnesses[static_cast<std::size_t>(c - base)];
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
  // The witnesses whose listing was asked for, by its option or by a
  // stream named apart without operands.
  WitnessSet listings;
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

// Records what a witness's option asks: the witness, what it names apart
// ("--NAME=FILE"), its listing; false after saying that "--NAME=" names
// nothing where a name is wanted.
bool TakeWitness(int c, const char* value, Output& err, RunOptions& options, Scanned* scanned) {
  if (const WitnessDescriptor* listing = WitnessOf(c, kListing)) {
    scanned->listings.add(listing->witness);
    return true;
  }
  const WitnessDescriptor* w = WitnessOf(c);
  if (w == nullptr) w = WitnessOf(c, kApart);
  options.witnesses.add(w->witness);
  if (value == nullptr) return true;
  if (*value == '\0' && w->apart_empty != nullptr) {
    err.Write(w->apart_empty);
    return false;
  }
  options.apart_of(w->witness) = value;
  return true;
}

// Records one option; false with `*status` set when the run ends here.
bool TakeOption(int c, const OptionScanState& scan, Output& out, Output& err, const char* program,
                const char* image_formats, RunOptions& options, Scanned* scanned, int* status) {
  auto end = [status](int with) {
    *status = with;
    return false;
  };
  if (c != 'e' && c != 'h' && c != 'i' && c != 'l' && c != 'r' && c != 'u' && c != '?')
    scanned->extended = true;
  if (WitnessOf(c) != nullptr || WitnessOf(c, kApart) != nullptr || WitnessOf(c, kListing)) {
    if (!TakeWitness(c, scan.optarg, err, options, scanned)) return end(kStatusBadUsage);
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
    case 'e': options.rows = true; break;
    case 'i': options.iso = true; break;
    case 'l': options.list = true; break;
    case 'r': options.recursive = true; break;
    case 'u': options.utc = true; break;
    case kFatZone:
      if (!TakeZone(scan.optarg, err, options)) return end(kStatusBadUsage);
      break;
    case kReport:
      if (*scan.optarg == '\0') {
        err.Write("qst: --report= wants the name of the page to write (FILE.html)\n");
        return end(kStatusBadUsage);
      }
      options.report = scan.optarg;
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

// Every witness reads an image; but a stream collected apart is listed
// without one, and so a witness that may be is told last.
int CheckWitnesses(const RunOptions& options, Output& err) {
  if (options.reads_image()) return kStatusOk;
  auto alone = [&](const WitnessDescriptor& w) {
    return options.listed == w.witness && !options.apart_of(w.witness).empty();
  };
  const WitnessDescriptor* refused = nullptr;
  for (const WitnessDescriptor& w : kWitnesses)
    if (options.wants(w.witness) && !alone(w) && (refused == nullptr || refused->apart_lists))
      refused = &w;
  if (refused == nullptr) return kStatusOk;
  err.Printf("qst: can't use -%c without -d\n", refused->letter);
  return kStatusBadUsage;
}

// The rules of the listings of a witness's own records.
int CheckListings(const Scanned& scanned, const RunOptions& options, Output& err) {
  const WitnessDescriptor* listed = nullptr;
  for (const WitnessDescriptor& w : kWitnesses) {
    if (!scanned.listings.has(w.witness)) continue;
    if (!options.wants(w.witness)) {
      err.Printf("qst: can't use --%s without -%c\n", w.listing, w.letter);
      return kStatusBadUsage;
    }
    if (listed != nullptr) {
      err.Printf("qst: can't use --%s with --%s\n", w.listing, listed->listing);
      return kStatusBadUsage;
    }
    listed = &w;
  }
  if (listed == nullptr) return kStatusOk;
  // The witnesses read beside each file have no file to join to there.
  for (const WitnessDescriptor& w : kWitnesses) {
    if (&w != listed && !w.beside_listing && options.wants(w.witness)) {
      err.Printf("qst: can't use -%c with --%s\n", w.letter, listed->listing);
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
  if (options.rows && options.machine != MachineForm::kNone) {
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
    if (options.listed) {
      err.Printf("qst: can't use --report with --%s\n", DescriptorOf(*options.listed).listing);
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
  if (int status = CheckListings(scanned, options, err); status != kStatusOk) return status;
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
  // A stream named apart is listed alone without operands (the first such
  // witness's: a later one's listing is asked for only where no earlier
  // one's is); otherwise the operands are what the run is for.
  for (const WitnessDescriptor& w : kWitnesses) {
    if (scan.optind < argc || !w.apart_lists) continue;
    if (!options.apart_of(w.witness).empty()) {
      scanned.listings.add(w.witness);
      break;
    }
    if (scanned.listings.has(w.witness)) break;
  }
  for (const WitnessDescriptor& w : kWitnesses) {
    if (!scanned.listings.has(w.witness)) continue;
    if (!options.listed) options.listed = w.witness;
    if (scan.optind < argc) {
      err.Printf("qst: can't use --%s with a FILENAME\n", w.listing);
      *status = kStatusBadUsage;
      return false;
    }
  }
  if (scan.optind >= argc && !options.listed) {
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
