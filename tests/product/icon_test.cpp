// The programs' icons: well-formed .ico files that the shell can show (a
// 32x32 and a 16x16 image, 16 colours, a mask that leaves the corners
// clear; then PNG images with alpha, decoded here again), and two
// different pictures.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <string>

#include "product/icongen/icon_writer.h"

namespace {

uint32_t u16(const std::vector<uint8_t>& d, size_t at) { return d.at(at) | d.at(at + 1) << 8; }
uint32_t u32(const std::vector<uint8_t>& d, size_t at) { return u16(d, at) | u16(d, at + 2) << 16; }

uint32_t be32(const std::vector<uint8_t>& d, size_t at) {
  return static_cast<uint32_t>(d.at(at)) << 24 | d.at(at + 1) << 16 | d.at(at + 2) << 8 | d.at(at + 3);
}

// A small PNG reader for what the generator writes (8-bit RGBA, no
// interlace): checks every chunk's CRC, inflates the data and undoes the
// row filters. False on anything else.
bool decode_png(const std::vector<uint8_t>& p, uint32_t n, std::vector<uint8_t>& px) {
  static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (p.size() < 8 || !std::equal(kSignature, kSignature + 8, p.begin())) return false;
  std::vector<uint8_t> packed;
  bool header = false, end = false;
  for (size_t at = 8; at + 12 <= p.size() && !end;) {
    uint32_t length = be32(p, at);
    if (length > p.size() - at - 12) return false;
    std::string kind(p.begin() + at + 4, p.begin() + at + 8);
    uLong crc = crc32(0L, &p[at + 4], length + 4);
    if (crc != be32(p, at + 8 + length)) return false;
    const uint8_t* body = &p[at + 8];
    if (kind == "IHDR") {
      header = length == 13 && be32(p, at + 8) == n && be32(p, at + 12) == n && body[8] == 8 &&
               body[9] == 6 && body[10] == 0 && body[11] == 0 && body[12] == 0;
    } else if (kind == "IDAT") {
      packed.insert(packed.end(), body, body + length);
    } else if (kind == "IEND") {
      end = at + 12 == p.size();
    }
    at += 12 + length;
  }
  if (!header || !end) return false;
  const size_t stride = n * 4;
  std::vector<uint8_t> raw((stride + 1) * n);
  uLongf raw_size = raw.size();
  if (uncompress(raw.data(), &raw_size, packed.data(), packed.size()) != Z_OK || raw_size != raw.size())
    return false;
  px.assign(stride * n, 0);
  for (uint32_t y = 0; y < n; y++) {
    uint8_t kind = raw[y * (stride + 1)];
    if (kind > 4) return false;
    for (size_t i = 0; i < stride; i++) {
      int a = i >= 4 ? px[y * stride + i - 4] : 0, b = y ? px[(y - 1) * stride + i] : 0;
      int c = i >= 4 && y ? px[(y - 1) * stride + i - 4] : 0;
      int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
      int paeth = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
      int pred = kind == 0 ? 0 : kind == 1 ? a : kind == 2 ? b : kind == 3 ? (a + b) / 2 : paeth;
      px[y * stride + i] = static_cast<uint8_t>(raw[y * (stride + 1) + 1 + i] + pred);
    }
  }
  return true;
}

TEST(Icons, AreWellFormedAndDiffer) {
  std::vector<uint8_t> saver, remove;
  ASSERT_TRUE(build_icon(IconSaver, saver));
  ASSERT_TRUE(build_icon(IconRemove, remove));
  EXPECT_NE(saver, remove);
  for (const auto* ico : {&saver, &remove}) {
    const std::vector<uint8_t>& d = *ico;
    ASSERT_EQ(u16(d, 0), 0u);
    ASSERT_EQ(u16(d, 2), 1u) << "icon, not cursor";
    ASSERT_EQ(u16(d, 4), 2u + std::size(kAlphaSizes));
    size_t end = 6 + u16(d, 4) * 16;
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
    for (size_t i = 0; i < std::size(kAlphaSizes); i++) {
      size_t e = 6 + (2 + i) * 16;
      const uint32_t n = static_cast<uint32_t>(kAlphaSizes[i]);
      EXPECT_EQ(d[e], n % 256) << "256 is written as 0";
      EXPECT_EQ(d[e + 2], 0u);
      EXPECT_EQ(u16(d, e + 6), 32u);
      uint32_t size = u32(d, e + 8), offset = u32(d, e + 12);
      EXPECT_EQ(offset, end);
      ASSERT_LE(offset + size, d.size());
      end = offset + size;
      std::vector<uint8_t> px;
      ASSERT_TRUE(decode_png(std::vector<uint8_t>(d.begin() + offset, d.begin() + offset + size), n, px))
          << n;
      auto alpha = [&](uint32_t x, uint32_t y) { return px[(y * n + x) * 4 + 3]; };
      // Clear beside the monitor (left of its case, away from the struck-out
      // icon's cross), opaque in the middle of its screen.
      EXPECT_EQ(alpha(0, n / 2), 0u) << n << ": left edge clear";
      EXPECT_EQ(alpha(n / 2, n / 2), 255u) << n << ": centre opaque";
    }
    EXPECT_EQ(end, d.size());
  }
}

}  // namespace
