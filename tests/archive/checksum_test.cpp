// CRC-32 and the old format's 16-bit checksum.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "archive/arc_checksum.h"
#include "tests/support/archive_builder.h"

namespace {

uint32_t crc32_of(const void* data, size_t count) {
  return ~update_checksum(0xFFFFFFFFu, data, count, 2);
}

TEST(Checksum, Crc32MatchesTheStandardCheckValue) {
  init_crc_table();
  EXPECT_EQ(0xCBF43926u, crc32_of("123456789", 9));
  EXPECT_EQ(0u, crc32_of("", 0));
  // Any kind other than 1 is a CRC step.
  EXPECT_EQ(0xCBF43926u, ~update_checksum(0xFFFFFFFFu, "123456789", 9, 0));
}

TEST(Checksum, Crc32InPiecesEqualsWhole) {
  init_crc_table();
  std::vector<uint8_t> data(70000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 131 + (i >> 8));
  uint32_t running = 0xFFFFFFFFu;
  running = update_checksum(running, data.data(), 1, 2);
  running = update_checksum(running, data.data() + 1, 40000, 2);
  running = update_checksum(running, data.data() + 40001, data.size() - 40001, 2);
  EXPECT_EQ(arctest::crc32(data), ~running);
}

// Long runs may go through the processor's carry-less multiplication (64
// bytes a step, then 16, then the table for the rest): every length around
// those steps, at every alignment, equals the bit-at-a-time CRC.
TEST(Checksum, Crc32OfEveryLengthAndAlignmentAroundTheWideSteps) {
  init_crc_table();
  std::vector<uint8_t> data(1024 + 16);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 167 + (i >> 3) * 29);
  for (size_t align = 0; align < 16; ++align)
    for (size_t len = 48; len <= 1024; len += len < 300 ? 1 : 61)
      ASSERT_EQ(arctest::crc32(data.data() + align, len), crc32_of(data.data() + align, len)) << align << " " << len;
}

TEST(Checksum, SixteenBitSumAddsThenRotates) {
  // 0 + 1 = 1, rotated: 2; 2 + 2 = 4, rotated: 8.
  const uint8_t two[] = {1, 2};
  EXPECT_EQ(8u, update_checksum(0, two, 2, 1));
  // The sum wraps at 16 bits: 0xFFFF + 1 = 0.
  const uint8_t one[] = {1};
  EXPECT_EQ(0u, update_checksum(0xFFFF, one, 1, 1));
  // The rotation carries the top bit round to bit 0.
  const uint8_t zero[] = {0};
  EXPECT_EQ(0x0001u, update_checksum(0x8000, zero, 1, 1));
  EXPECT_EQ(0x0003u, update_checksum(0x8001, zero, 1, 1));
  // The result never has upper bits, not even for no bytes at all.
  EXPECT_EQ(0x5678u, update_checksum(0x12345678u, nullptr, 0, 1));
  const uint8_t ff[] = {0xFF, 0xFF, 0xFF};
  EXPECT_EQ(0u, update_checksum(0xFFFF0000u, ff, 3, 1) >> 16);
}

}  // namespace
