#include "probe/ntfs/upcase.h"

#include <algorithm>

#include "probe/le.h"

namespace qst {

bool UpcaseTable::Load(const std::vector<std::uint8_t>& bytes) {
  if (bytes.size() != kUpcaseTableBytes) return false;
  for (char16_t c = 0; c < 128; ++c) {
    char16_t upper = c >= u'a' && c <= u'z' ? c - (u'a' - u'A') : c;
    if (LoadLe16(bytes.data() + 2 * c) != upper) return false;
  }
  for (std::uint32_t c = 0; c < 65536; ++c) table_[c] = LoadLe16(bytes.data() + 2 * c);
  return true;
}

}  // namespace qst
