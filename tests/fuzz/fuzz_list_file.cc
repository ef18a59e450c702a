// List-file lines: the first byte sets how many bytes each read hands over,
// so that lines cross read boundaries in every way; a list that opens with
// a byte-order mark is decoded first, as the platforms read it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "cli/listfile.h"
#include "probe/marked-list.h"

namespace {

class PieceSource : public qst::ByteSource {
 public:
  PieceSource(const std::uint8_t* data, std::size_t size, std::size_t piece)
      : data_(data), size_(size), piece_(piece) {}
  std::size_t Read(char* buffer, std::size_t size) override {
    std::size_t n = std::min({size, size_ - pos_, piece_});
    std::memcpy(buffer, data_ + pos_, n);
    pos_ += n;
    return n;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_, piece_, pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  bool marked = false;
  std::unique_ptr<qst::ByteSource> source = qst::ReadMarkedList(
      std::make_unique<PieceSource>(data + 1, size - 1, data[0] == 0 ? 8192 : data[0]), &marked);
  qst::ListLineReader reader(*source);
  std::string line;
  std::size_t total = 0;
  while (reader.Next(&line)) {
    if (line.find('\0') != std::string::npos) __builtin_trap();
    total += line.size() + 1;
  }
  // UTF-16 takes at most 3 bytes of UTF-8 for each 2 it reads.
  if (total > (marked ? 2 * size : size) + 1) __builtin_trap();
  return 0;
}
