// The values of the attributes that carry a file's times, names and object
// ID, all resident:
//
// $STANDARD_INFORMATION (0x10), at least 32 bytes:
//   0x00  8  creation time      0x10  8  record change time
//   0x08  8  write time         0x18  8  access time
//
// $FILE_NAME (0x30), also the key of every $I30 index entry, at least 66
// bytes:
//   0x00  8  file reference of the parent folder
//   0x08  8  creation time      0x18  8  record change time
//   0x10  8  write time         0x20  8  access time
//   0x28  8  allocated size     0x30  8  data size
//   0x38  4  flags (FILE_ATTRIBUTE_*)
//   0x40  1  name length, in UTF-16 units
//   0x41  1  namespace: 0 POSIX, 1 Win32, 2 DOS (an 8.3 alias), 3 both
//   0x42     the name, UTF-16LE
//
// $OBJECT_ID (0x40): the object ID (16 bytes), then optionally the birth
// volume ID, birth object ID and domain ID (16 bytes each).
#pragma once

#include <cstdint>
#include <string>

#include "time/timestamp.h"

namespace qst {

// Four times in FILETIME units, as both $STANDARD_INFORMATION and
// $FILE_NAME keep them.
struct NtfsTimes {
  FILETIME creation = 0, write = 0, change = 0, access = 0;
  bool operator==(const NtfsTimes&) const = default;
};

// False when the value is too short to hold the times.
[[nodiscard]] bool DecodeStandardInformation(const std::uint8_t* value, std::uint32_t length,
                                             NtfsTimes* times);

enum NameSpace : std::uint8_t {
  kPosixName = 0,
  kWin32Name = 1,
  kDosName = 2,
  kWin32AndDosName = 3
};

struct FileNameValue {
  std::uint64_t parent = 0;  // file reference
  NtfsTimes times;
  NameSpace space = kPosixName;
  std::uint8_t length = 0;             // UTF-16 units
  const std::uint8_t* name = nullptr;  // UTF-16LE, inside the value
  const std::uint8_t* raw = nullptr;   // the whole value
  char16_t Unit(std::size_t i) const {
    return static_cast<char16_t>(name[2 * i] | name[2 * i + 1] << 8);
  }
  std::u16string Text() const;
  // The sizes the value keeps: kept up to date in a folder's index entry,
  // often not in the file's own record.
  std::uint64_t AllocatedSize() const;
  std::uint64_t DataSize() const;
  // The name into `text`, reusing its room.
  void CopyText(std::u16string* text) const;
};

// Decodes a $FILE_NAME value; false when it is too short for its name.
[[nodiscard]] bool DecodeFileName(const std::uint8_t* value, std::uint32_t length,
                                  FileNameValue* name);
// The size a $FILE_NAME value holding no name has.
inline constexpr std::uint32_t kFileNameHeader = 66;
// The length of the $FILE_NAME value at `value` (kFileNameHeader bytes at
// least) with its name, where its name length and namespace are ones NTFS
// writes (a name of one unit or more, a namespace of 0 to 3); 0 where not.
std::uint32_t FileNameLengthAt(const std::uint8_t* value);

inline constexpr std::uint32_t kObjectIdSize = 16;
inline constexpr std::uint32_t kObjectIdWithBirthIds = 64;

}  // namespace qst
