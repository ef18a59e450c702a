// Splitting a list file into lines, as a text-mode read does: a carriage
// return right before a line feed is dropped.
#pragma once

#include <cstddef>
#include <string>

#include "probe/platform.h"

namespace qst {

class ListLineReader {
 public:
  enum class Result { Line, TooLong, End };

  ListLineReader(ByteSource& source, std::size_t max_line) : source_(source), max_(max_line) {}

  // Next line without its line feed. A line longer than `max_line` comes
  // whole, with TooLong. A line is cut at a null character; a line that
  // starts with one is passed over.
  Result Next(std::string* line);

 private:
  bool Fill();

  ByteSource& source_;
  std::size_t max_;
  char buffer_[8192];
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool eof_ = false;
};

}  // namespace qst
