// Buffered text output. One writer serves standard output, another standard
// error; the error writer flushes standard output first, so that the two
// streams keep their order where a person sees both.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

#include "probe/streams.h"

#if defined(__GNUC__)
#define QST_PRINTF_FORMAT(a, b) __attribute__((format(printf, a, b)))
#else
#define QST_PRINTF_FORMAT(a, b)
#endif

namespace qst {

// Fills `buffer` with what erases the status line a writer to a sink shows
// now ("\r", blanks, "\r", at most `size` bytes) and returns its length, 0
// when none shows: for a handler of an interrupt, from which it is safe.
std::size_t StatusEraser(char* buffer, std::size_t size);

class Output {
 public:
  // Writes to `sink`; `flush_first`, when given, is flushed before every
  // write of this writer.
  explicit Output(ByteSink* sink, Output* flush_first = nullptr)
      : sink_(sink), flush_first_(flush_first) {}
  // Keeps everything in memory (for tests).
  Output() = default;
  ~Output() { Flush(); }
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  void Write(std::string_view text);
  void Printf(const char* format, ...) QST_PRINTF_FORMAT(2, 3);
  void Flush();
  // Shows `line` as the one status line at the end of what was written,
  // in place of the one before; empty: erases it. Anything written after
  // erases it first.
  void SetStatus(std::string_view line);

  // Everything written so far, when the writer keeps it in memory.
  const std::string& Text() const { return buffer_; }
  // False once the sink refused bytes.
  bool ok() const { return ok_; }
  // Why it did: the errno of the failed write (0 when unknown).
  int error() const { return sink_ != nullptr ? sink_->error() : 0; }

 private:
  void Append(std::string_view text);

  ByteSink* sink_ = nullptr;
  Output* flush_first_ = nullptr;
  std::string buffer_;
  bool ok_ = true;
  std::size_t status_width_ = 0;  // of the status line shown, 0 when none
};

}  // namespace qst
