// Decoding of NTFS object identifiers read as version-1 UUIDs.
#pragma once

#include <cstdint>

namespace qst {

// The 64-byte record that an object-identifier request returns.
struct FILE_OBJECTID_BUFFER {
  std::uint8_t ObjectId[16];
  std::uint8_t BirthVolumeId[16];
  std::uint8_t BirthObjectId[16];
  std::uint8_t DomainId[16];
};
static_assert(sizeof(FILE_OBJECTID_BUFFER) == 64);

// 100-ns intervals from 1582-10-15 (the UUID epoch) to 1601-01-01.
inline constexpr std::int64_t kUuidEpochToFileTimeEpoch = 5748192000000000;

// The texts and numbers decoded from one UUID.
struct ObjectIdInfo {
  char hex[33] = {};
  int clockseq = 0;
  char node[18] = {};
};

// Stores the UUID's 60-bit time in FILETIME units into `*filetime` (also when
// it is zero or negative). Returns 0 when the stored value is positive, -1
// otherwise; the version nibble and variant bits are ignored.
int ObjectIdTimeToFileTime(const std::uint8_t (&uuid)[16], std::int64_t* filetime);

// 32 upper-case hex digits of the 16 bytes in stored order.
void FormatHex16(const std::uint8_t (&bytes)[16], char (&hex)[33]);

// Fills `node` with bytes 10-15 as "XX-XX-XX-XX-XX-XX" and returns the
// 14-bit clock sequence of bytes 8-9.
int DecodeClockSeqAndNode(const std::uint8_t (&uuid)[16], char (&node)[18]);

}  // namespace qst
