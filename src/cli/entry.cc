#include "cli/entry.h"

#include <string_view>

#include "cli/targets.h"
#include "probe/wildcard.h"

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
  selection.deleted = options.deleted;
  selection.name_times = options.name_times;
  selection.few_paths = few_paths;
  selection.usn = options.usn;
  selection.usn_journal = options.usn_journal;
  selection.journal_only = options.journal_only;
  selection.usn_events =
      options.machine == MachineForm::kBodyfile || options.machine == MachineForm::kEvents;
  selection.snapshots = options.snapshots;
  selection.progress = [&context](std::uint64_t done, std::uint64_t total) {
    context.progress.MftRead(done, total);
  };
  std::string message;
  if (!context.open_image(selection, *context.platform, image, &message)) {
    context.err.Write(message);
    return kStatusFailure;
  }
  context.platform = image->get();
  return kStatusOk;
}

// Lists the run's change journal, record by record; 1 when there is none.
int ListJournal(Context& context) {
  const RunOptions& options = context.options;
  JournalForm form = options.machine == MachineForm::kJson         ? JournalForm::kJson
                     : options.machine == MachineForm::kRfc4180Csv ? JournalForm::kCsv
                     : options.machine == MachineForm::kBodyfile   ? JournalForm::kBodyfile
                     : options.machine == MachineForm::kEvents     ? JournalForm::kEvents
                     : options.csv                                 ? JournalForm::kRow
                                                                   : JournalForm::kBlock;
  context.out.Write(JournalHeader(form));
  std::string text;
  bool found =
      context.platform->ForEachJournalRecord([&](const UsnRecord& record, std::string_view path) {
        text.clear();
        PrintJournalRecord(record, path, form, options.time_form(), *context.platform, &text);
        context.out.Write(text);
      });
  context.progress.Finish();
  if (std::string lost = context.platform->LossReport(); !lost.empty()) context.err.Write(lost);
  return found ? kStatusOk : kStatusFailure;
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
  std::unique_ptr<Platform> image_platform;
  if (options.journal_only) {
    if ((status = OpenImage(false, context, &image_platform)) != kStatusOk) return status;
    return ListJournal(context);
  }
  if (options.reads_image()) {
    bool few = FewPlainPaths(argc, argv, command.first_operand, options);
    if ((status = OpenImage(few, context, &image_platform)) != kStatusOk) return status;
  }
  context.out.Write(context.layout().header(options.fields()));
  status = ProcessOperands(argc, argv, command.first_operand, context);
  context.progress.Finish();
  if (std::string lost = context.platform->LossReport(); !lost.empty()) context.err.Write(lost);
  // A run that could not report everything it was given is no success.
  return status == kStatusOk && context.failed ? kStatusFailure : status;
}

}  // namespace qst
