// .ico layout: a 6-byte directory header (0, type 1, count), one 16-byte
// entry per image (width, height, colours, 0, planes, bits, size, offset),
// then each image as a DIB: BITMAPINFOHEADER with twice the height (colour
// bits and mask together), the 16-colour palette, the 4-bit colour rows and
// the 1-bit transparency mask, rows bottom-up and padded to 4 bytes. A
// 32-bit image is a whole PNG file (RGBA, straight alpha) in place of the DIB.
#include "product/icongen/icon_writer.h"

#include <zlib.h>

#include <cmath>
#include <cstdlib>

#include "product/le_bytes.h"

namespace {

// The 16 standard colours, as RGB.
const uint8_t Palette[16][3] = {
    {0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0}, {0, 0, 128},   {128, 0, 128},
    {0, 128, 128},   {192, 192, 192}, {128, 128, 128}, {255, 0, 0}, {0, 255, 0},   {255, 255, 0},
    {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};
enum { Black = 0, Maroon = 1, Teal = 6, Silver = 7, Gray = 8, Red = 9, Yellow = 11, Fuchsia = 13, Aqua = 14, White = 15 };
const int Clear = -1;

struct TCanvas {
  int Size;
  std::vector<int> Pixel;  // palette index or Clear, top row first
  explicit TCanvas(int size) : Size(size), Pixel(size * size, Clear) {}
  void put(int x, int y, int c) {
    if (x >= 0 && y >= 0 && x < Size && y < Size) Pixel[y * Size + x] = c;
  }
  void rect(int x0, int y0, int x1, int y1, int c) {
    for (int y = y0; y <= y1; y++)
      for (int x = x0; x <= x1; x++) put(x, y, c);
  }
  // A thick line from (x0,y0) to (x1,y1) in canvas units.
  void line(double x0, double y0, double x1, double y1, double width, int c, int clip_x0, int clip_y0,
            int clip_x1, int clip_y1) {
    for (int y = clip_y0; y <= clip_y1; y++)
      for (int x = clip_x0; x <= clip_x1; x++) {
        double px = x + 0.5, py = y + 0.5;
        double dx = x1 - x0, dy = y1 - y0;
        double t = ((px - x0) * dx + (py - y0) * dy) / (dx * dx + dy * dy);
        if (t < 0) t = 0;
        if (t > 1) t = 1;
        double ex = x0 + t * dx - px, ey = y0 + t * dy - py;
        if (std::sqrt(ex * ex + ey * ey) <= width / 2) put(x, y, c);
      }
  }
};

// A monitor: silver case with a dark edge, black screen, a stand.
void draw(TIconKind kind, TCanvas& c) {
  double s = c.Size / 32.0;
  auto S = [s](double v) { return static_cast<int>(std::lround(v * s)); };
  c.rect(S(2), S(3), S(29) - 1, S(24) - 1, Gray);
  c.rect(S(3), S(4), S(28) - 1, S(23) - 1, Silver);
  int sx0 = S(5), sy0 = S(6), sx1 = S(26) - 1, sy1 = S(21) - 1;
  c.rect(sx0, sy0, sx1, sy1, Black);
  c.rect(S(13), S(24), S(19) - 1, S(26) - 1, Gray);
  c.rect(S(8), S(26), S(24) - 1, S(28) - 1, Silver);
  c.rect(S(8), S(28), S(24) - 1, S(29) - 1, Gray);
  // Ribbons of light across the screen.
  c.line(4 * s, 20 * s, 27 * s, 7 * s, 3.0 * s, Fuchsia, sx0, sy0, sx1, sy1);
  c.line(4 * s, 14 * s, 27 * s, 19 * s, 2.2 * s, Aqua, sx0, sy0, sx1, sy1);
  c.line(9 * s, 6 * s, 22 * s, 21 * s, 1.6 * s, Yellow, sx0, sy0, sx1, sy1);
  if (kind == IconRemove) {
    c.line(2 * s, 2 * s, 30 * s, 30 * s, 4.0 * s, Red, 0, 0, c.Size - 1, c.Size - 1);
    c.line(30 * s, 2 * s, 2 * s, 30 * s, 4.0 * s, Red, 0, 0, c.Size - 1, c.Size - 1);
  }
}

std::vector<uint8_t> dib(const TCanvas& c) {
  std::vector<uint8_t> b;
  int n = c.Size;
  uint32_t colour_row = ((n * 4 + 31) / 32) * 4, mask_row = ((n + 31) / 32) * 4;
  put32(b, 40);
  put32(b, n);
  put32(b, 2 * n);
  put16(b, 1);
  put16(b, 4);
  put32(b, 0);
  put32(b, (colour_row + mask_row) * n);
  put32(b, 0);
  put32(b, 0);
  put32(b, 16);
  put32(b, 0);
  for (const auto& p : Palette) {
    b.push_back(p[2]);
    b.push_back(p[1]);
    b.push_back(p[0]);
    b.push_back(0);
  }
  for (int y = n - 1; y >= 0; y--) {
    std::vector<uint8_t> row(colour_row, 0);
    for (int x = 0; x < n; x++) {
      int v = c.Pixel[y * n + x];
      uint8_t nib = static_cast<uint8_t>(v == Clear ? Black : v);
      row[x / 2] |= (x % 2 == 0) ? static_cast<uint8_t>(nib << 4) : nib;
    }
    b.insert(b.end(), row.begin(), row.end());
  }
  for (int y = n - 1; y >= 0; y--) {
    std::vector<uint8_t> row(mask_row, 0);
    for (int x = 0; x < n; x++)
      if (c.Pixel[y * n + x] == Clear) row[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
    b.insert(b.end(), row.begin(), row.end());
  }
  return b;
}

// The picture smoothed: drawn at four times the size in the palette, then
// each 4x4 block averaged into one RGBA pixel (alpha = covered share).
constexpr int kSuper = 4;

std::vector<uint8_t> rgba(TIconKind kind, int n) {
  TCanvas big(n * kSuper);
  draw(kind, big);
  std::vector<uint8_t> out(static_cast<size_t>(n) * n * 4, 0);
  for (int y = 0; y < n; y++)
    for (int x = 0; x < n; x++) {
      int sum[3] = {0, 0, 0}, covered = 0;
      for (int sy = 0; sy < kSuper; sy++)
        for (int sx = 0; sx < kSuper; sx++) {
          int v = big.Pixel[(y * kSuper + sy) * big.Size + x * kSuper + sx];
          if (v == Clear) continue;
          covered++;
          for (int k = 0; k < 3; k++) sum[k] += Palette[v][k];
        }
      if (covered == 0) continue;
      uint8_t* p = &out[(static_cast<size_t>(y) * n + x) * 4];
      for (int k = 0; k < 3; k++) p[k] = static_cast<uint8_t>((sum[k] + covered / 2) / covered);
      p[3] = static_cast<uint8_t>((covered * 255 + kSuper * kSuper / 2) / (kSuper * kSuper));
    }
  return out;
}

void put32be(std::vector<uint8_t>& b, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<uint8_t>(v >> shift));
}

void png_chunk(std::vector<uint8_t>& out, const char* kind, const std::vector<uint8_t>& data) {
  put32be(out, static_cast<uint32_t>(data.size()));
  size_t start = out.size();
  out.insert(out.end(), kind, kind + 4);
  out.insert(out.end(), data.begin(), data.end());
  uLong crc = crc32(0L, &out[start], static_cast<uInt>(out.size() - start));
  put32be(out, static_cast<uint32_t>(crc));
}

int paeth(int a, int b, int c) {
  int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  if (pa <= pb && pa <= pc) return a;
  return pb <= pc ? b : c;
}

// Deflate at its best level; empty on a zlib failure.
std::vector<uint8_t> deflated(const std::vector<uint8_t>& data) {
  uLongf packed_size = compressBound(static_cast<uLong>(data.size()));
  std::vector<uint8_t> packed(packed_size);
  if (compress2(packed.data(), &packed_size, data.data(), static_cast<uLong>(data.size()), Z_BEST_COMPRESSION) !=
      Z_OK)
    return {};
  packed.resize(packed_size);
  return packed;
}

// An 8-bit RGBA PNG, deflated at the best level, with the rows unfiltered or
// each with the filter that leaves the smallest sum of residues, whichever
// packs smaller: the flat colours of a drawing repeat best unfiltered, its
// smoothed edges once filtered. Empty on a zlib failure.
std::vector<uint8_t> png(const std::vector<uint8_t>& px, int n) {
  const size_t stride = static_cast<size_t>(n) * 4;
  std::vector<uint8_t> filtered, unfiltered;
  for (int y = 0; y < n; y++) {
    unfiltered.push_back(0);
    unfiltered.insert(unfiltered.end(), &px[y * stride], &px[y * stride] + stride);
  }
  std::vector<uint8_t> zero(stride, 0);
  for (int y = 0; y < n; y++) {
    const uint8_t* line = &px[y * stride];
    const uint8_t* prev = y > 0 ? &px[(y - 1) * stride] : zero.data();
    std::vector<uint8_t> best;
    long best_cost = -1;
    for (int kind = 0; kind < 5; kind++) {
      std::vector<uint8_t> f(1, static_cast<uint8_t>(kind));
      long cost = 0;
      for (size_t i = 0; i < stride; i++) {
        int a = i >= 4 ? line[i - 4] : 0, b = prev[i], c = i >= 4 ? prev[i - 4] : 0;
        int pred = kind == 0 ? 0 : kind == 1 ? a : kind == 2 ? b : kind == 3 ? (a + b) / 2 : paeth(a, b, c);
        uint8_t r = static_cast<uint8_t>(line[i] - pred);
        f.push_back(r);
        cost += r < 128 ? r : 256 - r;
      }
      if (best_cost < 0 || cost < best_cost) best.swap(f), best_cost = cost;
    }
    filtered.insert(filtered.end(), best.begin(), best.end());
  }
  std::vector<uint8_t> packed = deflated(filtered), plain = deflated(unfiltered);
  if (packed.empty() || plain.empty()) return {};
  if (plain.size() < packed.size()) packed.swap(plain);
  std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<uint8_t> header;
  put32be(header, static_cast<uint32_t>(n));
  put32be(header, static_cast<uint32_t>(n));
  header.insert(header.end(), {8, 6, 0, 0, 0});  // 8 bits, RGBA, deflate, no interlace
  png_chunk(out, "IHDR", header);
  png_chunk(out, "IDAT", packed);
  png_chunk(out, "IEND", {});
  return out;
}

struct TIconImage {
  int Size;
  int Colours;  // 16, or 0 for 32-bit
  int Bits;
  std::vector<uint8_t> Data;
};

}  // namespace

bool build_icon(TIconKind kind, std::vector<uint8_t>& image) {
  if (kind != IconSaver && kind != IconRemove) return false;
  std::vector<TIconImage> images;
  for (int size : {32, 16}) {
    TCanvas c(size);
    draw(kind, c);
    images.push_back({size, 16, 4, dib(c)});
  }
  for (int size : kAlphaSizes) {
    std::vector<uint8_t> px = rgba(kind, size);
    std::vector<uint8_t> data = png(px, size);
    if (data.empty()) return false;
    images.push_back({size, 0, 32, std::move(data)});
  }
  image.clear();
  put16(image, 0);
  put16(image, 1);
  put16(image, static_cast<uint32_t>(images.size()));
  uint32_t offset = 6 + 16 * static_cast<uint32_t>(images.size());
  for (const TIconImage& img : images) {
    image.push_back(static_cast<uint8_t>(img.Size % 256));  // 256 is written as 0
    image.push_back(static_cast<uint8_t>(img.Size % 256));
    image.push_back(static_cast<uint8_t>(img.Colours));
    image.push_back(0);
    put16(image, 1);
    put16(image, static_cast<uint32_t>(img.Bits));
    put32(image, static_cast<uint32_t>(img.Data.size()));
    put32(image, offset);
    offset += static_cast<uint32_t>(img.Data.size());
  }
  for (const TIconImage& img : images) image.insert(image.end(), img.Data.begin(), img.Data.end());
  return true;
}
