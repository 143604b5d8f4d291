// The programs' icons: well-formed .ico files that the shell can show (a
// 32x32 and a 16x16 image, 16 colours, a mask that leaves the corners
// clear), and two different pictures.
#include <gtest/gtest.h>

#include "product/icongen/icon_writer.h"

namespace {

uint32_t u16(const std::vector<uint8_t>& d, size_t at) { return d.at(at) | d.at(at + 1) << 8; }
uint32_t u32(const std::vector<uint8_t>& d, size_t at) { return u16(d, at) | u16(d, at + 2) << 16; }

TEST(Icons, AreWellFormedAndDiffer) {
  std::vector<uint8_t> saver, remove;
  ASSERT_TRUE(build_icon(IconSaver, saver));
  ASSERT_TRUE(build_icon(IconRemove, remove));
  EXPECT_NE(saver, remove);
  for (const auto* ico : {&saver, &remove}) {
    const std::vector<uint8_t>& d = *ico;
    ASSERT_EQ(u16(d, 0), 0u);
    ASSERT_EQ(u16(d, 2), 1u) << "icon, not cursor";
    ASSERT_EQ(u16(d, 4), 2u);
    size_t end = 6 + 2 * 16;
    for (int i = 0; i < 2; i++) {
      size_t e = 6 + i * 16;
      uint32_t n = d[e];
      EXPECT_EQ(n, i == 0 ? 32u : 16u);
      EXPECT_EQ(d[e + 2], 16u);
      uint32_t size = u32(d, e + 8), offset = u32(d, e + 12);
      EXPECT_EQ(offset, end) << "images follow each other";
      ASSERT_LE(offset + size, d.size());
      end = offset + size;
      // DIB: twice the height, 4 bits, 16 palette entries, colour rows then mask rows.
      EXPECT_EQ(u32(d, offset), 40u);
      EXPECT_EQ(u32(d, offset + 4), n);
      EXPECT_EQ(u32(d, offset + 8), 2 * n);
      EXPECT_EQ(u16(d, offset + 14), 4u);
      uint32_t colour_row = ((n * 4 + 31) / 32) * 4, mask_row = ((n + 31) / 32) * 4;
      EXPECT_EQ(size, 40 + 16 * 4 + (colour_row + mask_row) * n);
      size_t mask = offset + 40 + 64 + colour_row * n;
      // Mask rows are bottom-up. Some of the picture is clear (around the
      // monitor), more than half of it opaque, and the middle of the screen opaque.
      size_t clear = 0;
      for (uint32_t y = 0; y < n; y++)
        for (uint32_t x = 0; x < n; x++) clear += (d[mask + y * mask_row + x / 8] >> (7 - x % 8)) & 1;
      EXPECT_GT(clear, n);
      EXPECT_LT(clear, n * n / 2);
      EXPECT_FALSE(d[mask + (n / 2) * mask_row + n / 16] & (0x80 >> ((n / 2) % 8))) << "centre opaque";
    }
    EXPECT_EQ(end, d.size());
  }
}

}  // namespace
