// The memo.txt sample the layout and form tests print: times in UTC, and an
// object ID whose birth ID is older.
#pragma once

#include <cstdint>
#include <cstring>

#include "probe/platform.h"

namespace qst::testing {

inline RawFileInfo Memo(bool with_object_id) {
  RawFileInfo raw;
  raw.file_index = 41872;
  raw.basic.LastAccessTime = 129524953617302915;  // 2011-06-14 03:22:41.7302915
  raw.basic.LastWriteTime = 129514863094182273;   // 2011-06-02 11:05:09.4182273
  raw.basic.ChangeTime = 129514863100026148;      // 2011-06-02 11:05:10.0026148
  raw.basic.CreationTime = 129512692758610936;    // 2011-05-30 22:47:55.8610936
  raw.has_object_id = with_object_id;
  const std::uint8_t object_id[16] = {0x00, 0xC6, 0x22, 0xDC, 0x0E, 0x8B, 0xE0, 0x11,
                                      0x9A, 0x3F, 0x02, 0x4F, 0x7A, 0x19, 0xC3, 0x08};
  const std::uint8_t volume_id[16] = {0x5C, 0x1E, 0x0A, 0x93, 0xD2, 0xB7, 0x4F, 0x6E,
                                      0x8A, 0x0C, 0x31, 0xF5, 0xB9, 0xD4, 0x7E, 0x26};
  const std::uint8_t birth_id[16] = {0x80, 0x67, 0x1F, 0xB0, 0x07, 0xEB, 0xDF, 0x11,
                                     0x8B, 0x52, 0x02, 0x61, 0xD4, 0x8E, 0x05, 0x7B};
  std::memcpy(raw.object_id.ObjectId, object_id, 16);
  std::memcpy(raw.object_id.BirthVolumeId, volume_id, 16);
  std::memcpy(raw.object_id.BirthObjectId, birth_id, 16);
  std::memset(raw.object_id.DomainId, 0xEE, 16);
  return raw;
}

}  // namespace qst::testing
