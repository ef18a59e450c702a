#include "cli/report.h"

namespace qst {

FileIdentity ProcessFile(const std::string& path, Context& context, const DirEntry* entry) {
  return PrintRecord(ProbeRecord(*context.platform, path, context.options.time_form(),
                                 context.options.fields(), entry),
                     context);
}

FileIdentity PrintRecord(const FileTimestampRecord& record, Context& context) {
  if (context.report != nullptr) context.report->Add(record);
  context.printed.clear();
  RenderRecord(record, context.layout(), &context.printed);
  WritePrinted(context.printed, context);
  return record.identity;
}

void RenderRecord(const FileTimestampRecord& record, const Layout& layout, PrintedText* printed) {
  if (record.error != 0) {
    printed->failed = true;
    if (!layout.errors_apart) ++printed->failures;
  }
  if (WeighsVolume(record.signs)) printed->before_volume = true;
  if (record.absent) {
    // A name the shadow copies alone hold: their states below are all.
  } else if (record.error != 0 && layout.errors_apart) {
    std::string message = "qst: ";
    message.append(record.path).append(", CODE=").append(std::to_string(record.error));
    message.append(":").append(OneLine(record.error_text)).append("\n");
    printed->errors.emplace_back(printed->out.size(), std::move(message));
  } else {
    layout.print(record, &printed->out);
    ++printed->rows;
  }
  // The path's states in the volume's shadow copies follow it.
  for (const FileTimestampRecord& state : record.states) layout.print(state, &printed->out);
}

void WritePrinted(const PrintedText& printed, Context& context) {
  std::string_view out = printed.out;
  std::size_t written = 0;
  for (const auto& [at, message] : printed.errors) {
    if (at > written) context.out.Write(out.substr(written, at - written));
    written = at;
    context.err.Write(message);
  }
  if (out.size() > written) context.out.Write(out.substr(written));
  for (std::size_t i = 0; i < printed.rows; ++i) context.progress.FileDone();
  if (printed.failed) context.failed = true;
  context.unreported += printed.failures;
  if (printed.before_volume) context.before_volume = true;
}

void PrintSystemError(const std::string& path, int code, Context& context, bool on_this_machine) {
  FileTimestampRecord record;
  record.path = path;
  record.error = code;
  record.error_text = context.platform->ErrorText(code);
  record.fields = context.options.fields();
  // A list file's path is this machine's, not the image's names.
  if (on_this_machine) record.fields.volume_names = false;
  PrintRecord(record, context);
}

bool RefuseIfTooLong(const std::string& path, Context& context) {
  if (path.size() <= kMaxPath) return false;
  PrintSystemError(path, context.platform->NameTooLongCode(), context);
  return true;
}

}  // namespace qst
