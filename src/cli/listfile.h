// Splitting a list file into lines, as a text-mode read does: a carriage
// return right before a line feed is dropped.
#pragma once

#include <string>

#include "probe/streams.h"

namespace qst {

class ListLineReader {
 public:
  explicit ListLineReader(ByteSource& source) : source_(source) {}

  // Reads the next line, without its line feed, whatever its length. A line
  // is cut at a null character; a line that starts with one is passed over.
  // Returns false at the end of the data.
  bool Next(std::string* line);

 private:
  bool Fill();

  ByteSource& source_;
  char buffer_[8192];
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool eof_ = false;
};

}  // namespace qst
