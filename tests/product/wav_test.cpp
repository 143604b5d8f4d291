// The chime generator: exact sizes (it fills the payload to its total) and a
// well-formed 16-bit PCM file that is not silence.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "product/wavgen/wav_writer.h"

namespace {

uint32_t u16(const std::vector<uint8_t>& d, size_t at) { return d.at(at) | d.at(at + 1) << 8; }
uint32_t u32(const std::vector<uint8_t>& d, size_t at) { return u16(d, at) | u16(d, at + 2) << 16; }
std::string id(const std::vector<uint8_t>& d, size_t at) { return std::string(d.begin() + at, d.begin() + at + 4); }

TEST(Chime, EveryEvenSizeComesOutExactAndWellFormed) {
  // Sizes with each remainder modulo the 4-byte sample frame.
  for (uint32_t size : {100000u, 100002u, 837986u, 837988u}) {
    std::vector<uint8_t> w;
    ASSERT_TRUE(build_chime_wav(size, w)) << size;
    ASSERT_EQ(w.size(), size);
    ASSERT_EQ(id(w, 0), "RIFF");
    EXPECT_EQ(u32(w, 4), size - 8);
    ASSERT_EQ(id(w, 8), "WAVE");
    // Walk the chunks: they must tile the file exactly.
    size_t at = 12;
    bool fmt = false;
    size_t data_at = 0, data_size = 0;
    while (at + 8 <= w.size()) {
      std::string name = id(w, at);
      uint32_t len = u32(w, at + 4);
      ASSERT_LE(at + 8 + len, w.size()) << name;
      if (name == "fmt ") {
        fmt = true;
        EXPECT_EQ(len, 16u);
        EXPECT_EQ(u16(w, at + 8), 1u) << "PCM";
        EXPECT_EQ(u16(w, at + 10), 2u) << "stereo";
        EXPECT_EQ(u32(w, at + 12), 22050u);
        EXPECT_EQ(u32(w, at + 16), 22050u * 4);
        EXPECT_EQ(u16(w, at + 20), 4u);
        EXPECT_EQ(u16(w, at + 22), 16u);
      } else if (name == "data") {
        data_at = at + 8;
        data_size = len;
      }
      at += 8 + len + (len & 1);
    }
    EXPECT_EQ(at, w.size()) << "chunks end with the file";
    ASSERT_TRUE(fmt);
    ASSERT_GT(data_size, 0u);
    EXPECT_EQ(data_size % 4, 0u);
    // A sound, not silence, and not clipped flat.
    int peak = 0;
    size_t clipped = 0;
    for (size_t i = data_at; i + 1 < data_at + data_size; i += 2) {
      int s = static_cast<int16_t>(u16(w, i));
      peak = std::max(peak, std::abs(s));
      clipped += (s == 32767 || s == -32768);
    }
    EXPECT_GT(peak, 4000);
    EXPECT_LT(clipped, data_size / 2 / 100);
  }
}

TEST(Chime, RefusesSizesItCannotMake) {
  std::vector<uint8_t> w;
  EXPECT_FALSE(build_chime_wav(100001, w)) << "odd sizes cannot hold whole chunks";
  EXPECT_FALSE(build_chime_wav(200, w)) << "too small for the headers and any sound";
}

}  // namespace
