#include "cli/report.h"

namespace qst {

FileIdentity ProcessFile(const std::string& path, Context& context, const DirEntry* entry) {
  return PrintRecord(ProbeRecord(*context.platform, path, context.options.time_form(),
                                 context.options.fields(), entry),
                     context);
}

FileIdentity PrintRecord(const FileTimestampRecord& record, Context& context) {
  if (context.report != nullptr) context.report->Add(record);
  context.text.clear();
  const Layout& layout = context.layout();
  if (record.error != 0) context.failed = true;
  if (record.absent) {
    // A name the shadow copies alone hold: their states below are all.
  } else if (record.error != 0 && layout.errors_apart) {
    context.err.Printf("qst: %.*s, CODE=%d:%s\n", static_cast<int>(record.path.size()),
                       record.path.data(), record.error, OneLine(record.error_text).c_str());
  } else {
    layout.print(record, &context.text);
    context.progress.FileDone();
  }
  // The path's states in the volume's shadow copies follow it.
  for (const FileTimestampRecord& state : record.snapshots) layout.print(state, &context.text);
  if (!context.text.empty()) context.out.Write(context.text);
  return record.identity;
}

void PrintSystemError(const std::string& path, int code, Context& context) {
  FileTimestampRecord record;
  record.path = path;
  record.error = code;
  record.error_text = context.platform->ErrorText(code);
  record.fields = context.options.fields();
  PrintRecord(record, context);
}

bool RefuseIfTooLong(const std::string& path, Context& context) {
  if (path.size() <= kMaxPath) return false;
  PrintSystemError(path, context.platform->NameTooLongCode(), context);
  return true;
}

}  // namespace qst
