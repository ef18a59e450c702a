#include "objectid/objectid.h"

#include "util/text.h"

namespace qst {
namespace {

void PutHexByte(std::uint8_t byte, char* out) {
  out[0] = kHexUpper[byte >> 4];
  out[1] = kHexUpper[byte & 0x0F];
}

}  // namespace

int ObjectIdTimeToFileTime(const std::uint8_t (&uuid)[16], std::int64_t* filetime) {
  std::uint64_t low = std::uint64_t{uuid[0]} | std::uint64_t{uuid[1]} << 8 |
                      std::uint64_t{uuid[2]} << 16 | std::uint64_t{uuid[3]} << 24;
  std::uint64_t high = std::uint64_t{uuid[7] & 0x0Fu} << 24 | std::uint64_t{uuid[6]} << 16 |
                       std::uint64_t{uuid[5]} << 8 | std::uint64_t{uuid[4]};
  std::uint64_t uuid_time = high << 32 | low;
  *filetime = static_cast<std::int64_t>(uuid_time - kUuidEpochToFileTimeEpoch);
  return *filetime > 0 ? 0 : -1;
}

void FormatHex16(const std::uint8_t (&bytes)[16], char (&hex)[33]) {
  for (int i = 0; i < 16; ++i) PutHexByte(bytes[i], hex + 2 * i);
  hex[32] = '\0';
}

int DecodeClockSeqAndNode(const std::uint8_t (&uuid)[16], char (&node)[18]) {
  for (int i = 0; i < 6; ++i) {
    PutHexByte(uuid[10 + i], node + 3 * i);
    if (i < 5) node[3 * i + 2] = '-';
  }
  node[17] = '\0';
  return (uuid[8] & 0x3F) << 8 | uuid[9];
}

}  // namespace qst
