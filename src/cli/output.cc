#include "cli/output.h"

#include <atomic>
#include <cstdio>

namespace qst {
namespace {
constexpr std::size_t kFlushAt = 64 * 1024;
std::atomic<std::size_t> shown_status_width{0};
}  // namespace

std::size_t StatusEraser(char* buffer, std::size_t size) {
  std::size_t width = shown_status_width.load(std::memory_order_relaxed);
  if (width == 0 || size < 3) return 0;
  width = width < size - 2 ? width : size - 2;
  buffer[0] = '\r';
  for (std::size_t i = 1; i <= width; ++i) buffer[i] = ' ';
  buffer[width + 1] = '\r';
  return width + 2;
}

void Output::Append(std::string_view text) {
  if (flush_first_ != nullptr) flush_first_->Flush();
  // A text as large as the buffer goes to the sink as it is, after what the
  // buffer holds: not copied once more.
  if (sink_ != nullptr && text.size() >= kFlushAt) {
    Flush();
    if (ok_) ok_ = sink_->WriteAll(text);
    return;
  }
  buffer_.append(text);
  if (sink_ != nullptr && (flush_first_ != nullptr || buffer_.size() >= kFlushAt)) Flush();
}

void Output::Write(std::string_view text) {
  if (status_width_ != 0) SetStatus({});
  Append(text);
}

void Output::SetStatus(std::string_view line) {
  if (line.empty() && status_width_ == 0) return;
  std::string text = "\r";
  if (status_width_ != 0) text.append(status_width_, ' ').append("\r");
  text.append(line);
  status_width_ = line.size();
  Append(text);
  if (sink_ != nullptr) shown_status_width.store(status_width_, std::memory_order_relaxed);
}

void Output::Printf(const char* format, ...) {
  char small[512];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int n = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (n < 0) {
    va_end(again);
    return;
  }
  if (static_cast<std::size_t>(n) < sizeof small) {
    va_end(again);
    Write(std::string_view(small, static_cast<std::size_t>(n)));
    return;
  }
  std::string big(static_cast<std::size_t>(n) + 1, '\0');
  std::vsnprintf(big.data(), big.size(), format, again);
  va_end(again);
  big.pop_back();
  Write(big);
}

void Output::Flush() {
  if (sink_ == nullptr || buffer_.empty()) return;
  if (ok_) ok_ = sink_->WriteAll(buffer_);
  buffer_.clear();
}

}  // namespace qst
