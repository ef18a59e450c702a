// Bytes in and out of the program: a list file being read, and the
// destination of standard output or standard error.
#pragma once

#include <cstddef>
#include <string_view>

namespace qst {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to `size` bytes; 0 at the end of the data or on a read error.
  virtual std::size_t Read(char* buffer, std::size_t size) = 0;
};

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Writes all of `bytes`; false when nothing more can be written (a full
  // disk). A reader that went away ends the program quietly instead.
  virtual bool WriteAll(std::string_view bytes) = 0;
  // The errno of the write that failed; 0 while none has.
  int error() const { return error_; }

 protected:
  int error_ = 0;
};

}  // namespace qst
