#include "probe/fat/exfat-upcase.h"

#include "probe/fat/fat-entries.h"
#include "probe/le.h"

namespace qst {

bool FindExfatUpcase(const std::uint8_t* root, std::size_t size, ExfatUpcaseEntry* entry) {
  // The up-case table's entry in the root folder.
  constexpr std::uint8_t kUpcaseEntry = 0x82;
  constexpr std::size_t kChecksum = 0x04, kFirstCluster = 0x14, kLength = 0x18;
  for (std::size_t at = 0; at + kFatEntryBytes <= size && root[at] != 0x00; at += kFatEntryBytes) {
    if (root[at] != kUpcaseEntry) continue;
    entry->checksum = LoadLe32(root + at + kChecksum);
    entry->first_cluster = LoadLe32(root + at + kFirstCluster);
    entry->length = LoadLe64(root + at + kLength);
    return true;
  }
  return false;
}

bool ExpandExfatUpcase(const std::uint8_t* data, std::size_t size, std::uint32_t checksum,
                       std::vector<std::uint8_t>* table) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < size; ++i) sum = ((sum >> 1) | (sum << 31)) + data[i];
  if (sum != checksum || size % 2 != 0) return false;
  table->assign(131072, 0);
  for (std::uint32_t c = 0; c < 65536; ++c) {
    (*table)[2 * c] = static_cast<std::uint8_t>(c);
    (*table)[2 * c + 1] = static_cast<std::uint8_t>(c >> 8);
  }
  std::uint32_t unit = 0;
  for (std::size_t at = 0; at + 2 <= size && unit < 65536; at += 2) {
    const std::uint16_t value = LoadLe16(data + at);
    // 0xFFFF last of all is the last unit's own upper case, not a run.
    if (value == 0xFFFF && at + 4 <= size) {
      at += 2;
      unit += LoadLe16(data + at);  // these map to themselves, as set above
      continue;
    }
    (*table)[2 * unit] = static_cast<std::uint8_t>(value);
    (*table)[2 * unit + 1] = static_cast<std::uint8_t>(value >> 8);
    ++unit;
  }
  return true;
}

}  // namespace qst
