#include "cli/listfile.h"

#include <cstring>

namespace qst {

bool ListLineReader::Fill() {
  if (eof_) return false;
  pos_ = 0;
  end_ = source_.Read(buffer_, sizeof buffer_);
  if (end_ == 0) eof_ = true;
  return end_ != 0;
}

bool ListLineReader::Next(std::string* line) {
  for (;;) {
    line->clear();
    bool any = false;
    bool ended = false;
    while (!ended) {
      if (pos_ == end_ && !Fill()) break;
      any = true;
      const char* start = buffer_ + pos_;
      const char* nl = static_cast<const char*>(std::memchr(start, '\n', end_ - pos_));
      std::size_t take = nl ? static_cast<std::size_t>(nl - start) : end_ - pos_;
      line->append(start, take);
      pos_ += take;
      if (nl) {
        ++pos_;
        ended = true;
      }
    }
    if (!any) return false;
    if (ended && !line->empty() && line->back() == '\r') line->pop_back();
    std::size_t nul = line->find('\0');
    if (nul == 0) continue;
    if (nul != std::string::npos) line->resize(nul);
    return true;
  }
}

}  // namespace qst
