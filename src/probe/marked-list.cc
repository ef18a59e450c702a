#include "probe/marked-list.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "probe/utf16.h"

namespace qst {
namespace {

enum class Mark { kNone, kUtf8, kUtf16Le, kUtf16Be };

// The list's bytes after what was read to look for a mark, decoded.
class MarkedSource : public ByteSource {
 public:
  MarkedSource(std::unique_ptr<ByteSource> raw, Mark mark, std::string head)
      : raw_(std::move(raw)), mark_(mark), carry_(std::move(head)) {}

  std::size_t Read(char* buffer, std::size_t size) override {
    while (pos_ == text_.size() && Refill()) {
    }
    const std::size_t n = std::min(size, text_.size() - pos_);
    std::memcpy(buffer, text_.data() + pos_, n);
    pos_ += n;
    return n;
  }

 private:
  // Reads more of the list into `text_`; false at its end.
  bool Refill() {
    text_.clear();
    pos_ = 0;
    if (done_) return false;
    char bytes[4096];
    const std::size_t n = raw_->Read(bytes, sizeof bytes);
    carry_.append(bytes, n);
    if (n == 0) done_ = true;
    if (mark_ == Mark::kNone || mark_ == Mark::kUtf8) {
      text_.swap(carry_);
    } else {
      std::size_t at = 0;
      for (; at + 2 <= carry_.size(); at += 2) {
        const auto a = static_cast<unsigned char>(carry_[at]);
        const auto b = static_cast<unsigned char>(carry_[at + 1]);
        const auto unit = static_cast<char16_t>(mark_ == Mark::kUtf16Le ? a | b << 8 : b | a << 8);
        AppendUtf16Unit(unit, &lead_, &text_);
      }
      carry_.erase(0, at);
      // A last odd byte is no unit; a lead surrogate at the end none either.
      if (done_) FlushUtf16Pending(&lead_, &text_);
    }
    return !text_.empty() || !done_;
  }

  std::unique_ptr<ByteSource> raw_;
  Mark mark_;
  std::string carry_;  // bytes read but not yet decoded
  std::string text_;
  std::size_t pos_ = 0;
  char16_t lead_ = 0;
  bool done_ = false;
};

}  // namespace

std::unique_ptr<ByteSource> ReadMarkedList(std::unique_ptr<ByteSource> raw, bool* marked) {
  std::string head;
  char bytes[3];
  while (head.size() < 3) {
    const std::size_t n = raw->Read(bytes, 3 - head.size());
    if (n == 0) break;
    head.append(bytes, n);
  }
  Mark mark = Mark::kNone;
  std::size_t skip = 0;
  if (head.size() >= 3 && head.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    mark = Mark::kUtf8, skip = 3;
  } else if (head.size() >= 2 && head.compare(0, 2, "\xFF\xFE") == 0) {
    mark = Mark::kUtf16Le, skip = 2;
  } else if (head.size() >= 2 && head.compare(0, 2, "\xFE\xFF") == 0) {
    mark = Mark::kUtf16Be, skip = 2;
  }
  *marked = mark != Mark::kNone;
  return std::make_unique<MarkedSource>(std::move(raw), mark, head.substr(skip));
}

}  // namespace qst
