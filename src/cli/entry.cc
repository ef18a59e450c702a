#include "cli/entry.h"

#include <chrono>
#include <cstring>
#include <optional>
#include <string_view>

#include "cli/targets.h"
#include "print/form-text.h"
#include "print/schema.h"
#include "probe/evidence.h"
#include "probe/wildcard.h"
#include "util/text.h"

namespace qst {
namespace {

// Whether the operands are a few paths without wildcards, not folders to
// walk or lists to read: a disk image then needs to read only the records
// they lead to.
bool FewPlainPaths(int argc, char** argv, int first, const RunOptions& options) {
  constexpr int kFew = 16;
  if (options.recursive || options.list || argc - first > kFew) return false;
  for (int i = first; i < argc; ++i)
    if (HasWildcard(std::string_view(argv[i]))) return false;
  return true;
}

// What of the evidence could not be read, for the end of the run.
std::string LossReport(Context& context) {
  Evidence* evidence = context.platform->VolumeEvidence();
  return evidence != nullptr ? evidence->LossReport() : std::string();
}

// Puts the volume of the image named with -d in place of the machine's file
// system. Returns kStatusOk, or the status to end with after saying why the
// image cannot be used.
int OpenImage(bool few_paths, Context& context, std::unique_ptr<Platform>* image) {
  if (context.open_image == nullptr) {
    context.err.Write("qst: this build cannot read disk images\n");
    return kStatusBadUsage;
  }
  const RunOptions& options = context.options;
  ImageSelection selection;
  selection.path = options.image;
  selection.sector = options.sector;
  selection.witnesses = options.witnesses;
  selection.few_paths = few_paths;
  selection.apart = options.apart;
  selection.listed = options.listed;
  selection.events =
      options.machine == MachineForm::kBodyfile || options.machine == MachineForm::kEvents;
  selection.threads = options.jobs;
  selection.fat_zone = options.fat_zone;
  selection.progress = [&context](std::uint64_t done, std::uint64_t total) {
    context.progress.MftRead(done, total);
  };
  selection.lost = [&context](const std::string& lines) {
    context.err.Write(lines);
    context.failed = true;
  };
  std::string message;
  if (!context.open_image(selection, *context.platform, image, &message)) {
    context.err.Write(message);
    return kStatusFailure;
  }
  // What the opener has to say of an image it could read (another volume
  // it holds).
  context.err.Write(message);
  context.platform = image->get();
  return kStatusOk;
}

// The form a listing of a witness's own records takes.
ListingForm FormOfListing(const RunOptions& options) {
  return options.machine == MachineForm::kJson         ? ListingForm::kJson
         : options.machine == MachineForm::kRfc4180Csv ? ListingForm::kCsv
         : options.machine == MachineForm::kBodyfile   ? ListingForm::kBodyfile
         : options.machine == MachineForm::kEvents     ? ListingForm::kEvents
         : options.rows                                ? ListingForm::kRow
                                                       : ListingForm::kBlock;
}

// Lists the records of the witness the run lists, one by one; 1 when the
// volume holds none of them to list.
int ListWitness(Witness witness, Context& context) {
  const RunOptions& options = context.options;
  const ListingForm form = FormOfListing(options);
  const Listing& listing = *GroupOf(witness).listing;
  context.out.Write(listing.header(form, options.fields()));
  std::string text;
  std::uint64_t left_out = 0;  // records the form has no place for
  Evidence* evidence = context.platform->VolumeEvidence();
  bool found =
      evidence != nullptr && evidence->ForEachListed(witness, [&](const ListedRecord& record) {
        text.clear();
        if (!listing.print(record, form, options.time_form(), *context.platform, &text)) ++left_out;
        context.out.Write(text);
      });
  context.progress.Finish();
  if (left_out != 0 && listing.left_out != nullptr) context.err.Write(listing.left_out(left_out));
  if (std::string lost = LossReport(context); !lost.empty()) context.err.Write(lost);
  return found ? kStatusOk : kStatusFailure;
}

// Says when the volume was made, where some file's times were found
// before it.
void SayVolumeMade(Context& context) {
  Evidence* evidence = context.platform->VolumeEvidence();
  std::optional<FILETIME> made = evidence != nullptr ? evidence->VolumeCreated() : std::nullopt;
  if (!made) return;
  RenderedTimestamp t = RenderTimestamp(*made, context.options.time_form(), *context.platform);
  context.err.Printf("qst: %s: the volume was made %s %s\n", context.options.image.c_str(), t.text,
                     t.zone);
}

// Says where the witnesses show the clock set back: what a forger does to
// make new files look old, and what a clock corrected by hand does too.
void SayClockSteps(Context& context) {
  Evidence* evidence = context.platform->VolumeEvidence();
  if (evidence == nullptr) return;
  std::uint64_t more = 0;
  const char* image = context.options.image.c_str();
  for (const ClockStep& step : evidence->ClockSteps(&more)) {
    const FILETIME back = step.from - step.to;
    const std::uint64_t seconds = back / kTicksPerSecond;
    const RenderedTimestamp from =
        RenderTimestamp(step.from, context.options.time_form(), *context.platform);
    const RenderedTimestamp to =
        RenderTimestamp(step.to, context.options.time_form(), *context.platform);
    context.err.Printf(
        "qst: %s: the clock was set back %llu days %02llu:%02llu:%02llu: %s %llu at %s %s "
        "follows a record at %s %s\n",
        image, static_cast<unsigned long long>(seconds / 86400),
        static_cast<unsigned long long>(seconds / 3600 % 24),
        static_cast<unsigned long long>(seconds / 60 % 60),
        static_cast<unsigned long long>(seconds % 60), DescriptorOf(step.witness).finding,
        static_cast<unsigned long long>(step.at), to.text, to.zone, from.text, from.zone);
  }
  if (more != 0)
    context.err.Printf("qst: %s: the clock was set back %llu more times\n", image,
                       static_cast<unsigned long long>(more));
}

// Counts the paths that could not be reported, where the run writes to
// something other than a terminal: rows of errors among many rows written
// to a file are easily missed.
void SayUnreported(Context& context) {
  const std::uint64_t n = context.unreported;
  if (!context.count_unreported || n == 0) return;
  context.err.Printf("qst: %llu path%s could not be reported; %s in the output\n",
                     static_cast<unsigned long long>(n), n == 1 ? "" : "s",
                     n == 1 ? "its error code is" : "their error codes are");
}

// The local zone's offset from UTC now and its name: "UTC+01:00,
// Europe/Berlin"; the offset alone where the system names none.
std::string ZoneText(const LocalTimeConverter& zone) {
  const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
  const FILETIME ticks = kUnixEpochTicks + static_cast<FILETIME>(now) * kTicksPerSecond;
  SYSTEMTIME utc, local;
  std::string text;
  if (FileTimeToSystemTime(ticks, &utc) && zone.ToLocalTime(utc, &local)) {
    const std::int64_t offset = SystemTimeToUnixSeconds(local) - SystemTimeToUnixSeconds(utc);
    const std::int64_t minutes = (offset < 0 ? -offset : offset) / 60;
    text = Format("UTC%c%02lld:%02lld", offset < 0 ? '-' : '+',
                  static_cast<long long>(minutes / 60), static_cast<long long>(minutes % 60));
  }
  const std::string name = zone.ZoneName();
  if (!name.empty()) text += (text.empty() ? "" : ", ") + name;
  return text;
}

// Writes the page of --report; false, after saying why, when it could not be.
bool WriteReport(int argc, char** argv, const std::string& lost, Context& context) {
  ReportRun run;
  for (int i = 0; i < argc; ++i) {
    std::string_view a = argv[i];
    if (i != 0) run.command += ' ';
    bool plain = !a.empty() && a.find_first_of(" \t\"'\\|&;<>()$`*?") == std::string_view::npos;
    if (plain) {
      run.command += a;
    } else {
      run.command += '\'';
      for (char c : a) run.command += c == '\'' ? std::string("'\\''") : std::string(1, c);
      run.command += '\'';
    }
  }
  run.image = context.options.image;
  if (Evidence* evidence = context.platform->VolumeEvidence()) {
    std::optional<std::uint64_t> serial = evidence->VolumeSerial();
    run.has_serial = serial.has_value();
    run.serial = serial.value_or(0);
  }
  if (Evidence* evidence = context.platform->VolumeEvidence()) {
    std::optional<FILETIME> made = evidence->VolumeCreated();
    run.has_created = made.has_value();
    run.created = made.value_or(0);
  }
  run.losses = lost;
  if (Evidence* evidence = context.platform->VolumeEvidence())
    run.absent = evidence->AbsenceReport();
  if (!context.options.time_form().utc) run.zone = ZoneText(*context.platform);
  if (context.report_sink->WriteAll(context.report->Page(run))) return true;
  context.err.Printf("qst: error writing the report %s: %s\n", context.options.report.c_str(),
                     std::strerror(context.report_sink->error()));
  return false;
}

}  // namespace

int RunEntry(int argc, char** argv, Context& context) {
  CommandLine command;
  int status = kStatusOk;
  const char* formats = context.open_image != nullptr ? context.image_formats : nullptr;
  if (!ParseCommandLine(argc, argv, context.out, context.err, formats, &command, &status))
    return status;
  RunOptions& options = context.options;
  options = command.options;
  if (options.machine != MachineForm::kNone && context.set_output_bytes != nullptr) {
    context.out.Flush();
    context.set_output_bytes();
  }
  context.progress.Show(context.progress_allowed && (options.recursive || options.reads_image()));
  if (!options.report.empty()) {
    // Made before anything is read, so that a page that cannot be written
    // costs no run.
    int error = 0;
    if (context.make_file == nullptr) {
      context.err.Write("qst: this run cannot write a report\n");
      return kStatusFailure;
    }
    context.report_sink = context.make_file(options.report, &error);
    if (context.report_sink == nullptr) {
      context.err.Printf("qst: cannot write the report %s: %s\n", options.report.c_str(),
                         OneLine(context.platform->ErrorText(error)).c_str());
      return kStatusFailure;
    }
  }
  std::unique_ptr<Platform> image_platform;
  if (options.listed) {
    if ((status = OpenImage(false, context, &image_platform)) != kStatusOk) return status;
    return ListWitness(*options.listed, context);
  }
  if (options.reads_image()) {
    bool few = FewPlainPaths(argc, argv, command.first_operand, options);
    if ((status = OpenImage(few, context, &image_platform)) != kStatusOk) return status;
  }
  if (context.report_sink != nullptr)
    context.report =
        std::make_unique<HtmlReport>(options.fields(), options.time_form(), *context.platform);
  context.out.Write(context.layout().header(options.fields()));
  status = ProcessOperands(argc, argv, command.first_operand, context);
  context.progress.Finish();
  if (context.before_volume) SayVolumeMade(context);
  SayClockSteps(context);
  std::string lost = LossReport(context);
  if (!lost.empty()) context.err.Write(lost);
  SayUnreported(context);
  if (context.report != nullptr && !WriteReport(argc, argv, lost, context)) return kStatusFailure;
  // A run that could not report everything it was given is no success.
  return status == kStatusOk && context.failed ? kStatusFailure : status;
}

}  // namespace qst
