// An E01 segment file's header and chain of sections: the input is the
// file; its count of chunks and the volume's geometry are read, bounded.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "probe/ewf-segment.h"
#include "probe/memory-reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qst::MemoryVolumeReader file(std::string_view(reinterpret_cast<const char*>(data), size));
  qst::EwfSegment segment;
  for (int number : {1, 2}) (void)qst::ReadEwfSegment(file, number, &segment);
  return 0;
}
