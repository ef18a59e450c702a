#include "probe/ewf-segment.h"

#include <cstring>
#include <string>

#include "probe/le.h"

namespace qst {
namespace {

constexpr std::size_t kDescriptor = 76;
constexpr int kMostSections = 1 << 16;

}  // namespace

bool ReadEwfSegment(VolumeReader& file, int number, EwfSegment* out) {
  std::uint8_t head[13];
  if (file.Size() < sizeof head || !file.ReadAll(0, head, sizeof head) ||
      std::memcmp(head, "EVF\x09\x0d\x0a\xff\x00", 8) != 0 || LoadLe16(head + 9) != number)
    return false;
  EwfSegment s;
  std::uint64_t at = sizeof head;
  for (int i = 0; i < kMostSections && at + kDescriptor <= file.Size(); ++i) {
    std::uint8_t d[kDescriptor + 16];
    const std::size_t want = at + sizeof d <= file.Size() ? sizeof d : kDescriptor;
    if (!file.ReadAll(at, d, want)) break;
    const char* text = reinterpret_cast<const char*>(d);
    const std::string type(text, strnlen(text, 16));
    if (want == sizeof d && type == "table") s.chunks += LoadLe32(d + kDescriptor);
    if (want == sizeof d && (type == "volume" || type == "disk")) {
      s.set_chunks = LoadLe32(d + kDescriptor + 4);
      s.sectors_per_chunk = LoadLe32(d + kDescriptor + 8);
    }
    if (type == "done") s.last = true;
    if (type == "next") s.more = true;
    const std::uint64_t next = LoadLe64(d + 16);
    if (type == "done" || type == "next" || next <= at) break;
    at = next;
  }
  *out = s;
  return true;
}

}  // namespace qst
