#include "objectid/objectid.h"

#include <gtest/gtest.h>

#include <string>

namespace qst {
namespace {

using Uuid = std::uint8_t[16];

TEST(ObjectIdTime, DecodesVersionOneTimeToFileTime) {
  Uuid id = {0x87, 0x56, 0x8A, 0x13, 0x3A, 0x15, 0xE0, 0x11};
  std::int64_t t = 0;
  EXPECT_EQ(ObjectIdTimeToFileTime(id, &t), 0);
  EXPECT_EQ(t, 129383136001234567);
  // The version nibble is not part of the time.
  id[7] = 0x41;
  std::int64_t t4 = 0;
  EXPECT_EQ(ObjectIdTimeToFileTime(id, &t4), 0);
  EXPECT_EQ(t4, t);
}

TEST(ObjectIdTime, TimesNotAfter1601AreErrors) {
  Uuid zero = {};
  std::int64_t t = 1;
  EXPECT_EQ(ObjectIdTimeToFileTime(zero, &t), -1);
  EXPECT_EQ(t, -5748192000000000);
  // 0x146BF33E42C000, the distance of the two epochs: exactly 1601.
  Uuid epoch = {0x00, 0xC0, 0x42, 0x3E, 0xF3, 0x6B, 0x14, 0x00};
  EXPECT_EQ(ObjectIdTimeToFileTime(epoch, &t), -1);
  EXPECT_EQ(t, 0);
}

TEST(ObjectIdTime, LargestSixtyBitTime) {
  Uuid id = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  std::int64_t t = 0;
  EXPECT_EQ(ObjectIdTimeToFileTime(id, &t), 0);
  EXPECT_EQ(t, 1147173312606846975);
}

TEST(ObjectIdText, ClockSequenceDropsVariantBits) {
  Uuid id = {};
  id[8] = 0x9A;
  id[9] = 0xBC;
  char node[18];
  EXPECT_EQ(DecodeClockSeqAndNode(id, node), 6844);
  EXPECT_STREQ(node, "00-00-00-00-00-00");
}

TEST(ObjectIdText, NodeInMemoryOrder) {
  Uuid id = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
  char node[18];
  EXPECT_EQ(DecodeClockSeqAndNode(id, node), 0);
  EXPECT_STREQ(node, "12-34-56-78-9A-BC");
}

TEST(ObjectIdText, HexInStoredOrderUpperCase) {
  Uuid id;
  for (int i = 0; i < 16; ++i) id[i] = static_cast<std::uint8_t>(i);
  char hex[33];
  FormatHex16(id, hex);
  EXPECT_STREQ(hex, "000102030405060708090A0B0C0D0E0F");
  id[0] = 0xAB;
  id[15] = 0xCD;
  FormatHex16(id, hex);
  EXPECT_STREQ(hex, "AB0102030405060708090A0B0C0D0ECD");
  Uuid zero = {};
  FormatHex16(zero, hex);
  EXPECT_EQ(std::string(hex), std::string(32, '0'));
}

}  // namespace
}  // namespace qst
