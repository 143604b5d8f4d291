// RIFF/WAVE layout we write:
//   "RIFF" size "WAVE"
//   "fmt " 16: PCM (1), 2 channels, 22050 Hz, 88200 bytes/s, block 4, 16 bits
//   "LIST" n "INFO" "INAM" name "ICOP" text, the text padded so that the
//          whole file comes out at the requested size
//   "data" n: interleaved left/right 16-bit samples
#include "product/wavgen/wav_writer.h"

#include <cmath>
#include <string>

#include "product/le_bytes.h"

namespace {

const uint32_t SampleRate = 22050;
const uint32_t Channels = 2;
const uint32_t BlockAlign = Channels * 2;

void put_id(std::vector<uint8_t>& b, const char* id) {
  for (int i = 0; i < 4; i++) b.push_back(static_cast<uint8_t>(id[i]));
}
// Text padded with zeros to size bytes.
void put_text(std::vector<uint8_t>& b, const std::string& text, uint32_t size) {
  for (uint32_t i = 0; i < size; i++) b.push_back(i < text.size() ? static_cast<uint8_t>(text[i]) : 0);
}

// A bell: a few inharmonic partials, each decaying at its own rate.
double bell(double t, double f) {
  if (t < 0) return 0;
  const double ratio[] = {1.0, 2.0, 2.76, 5.40};
  const double level[] = {1.0, 0.45, 0.30, 0.12};
  const double decay[] = {1.6, 2.4, 3.5, 6.0};
  double attack = t < 0.004 ? t / 0.004 : 1.0;
  double s = 0;
  for (int k = 0; k < 4; k++)
    s += level[k] * std::exp(-decay[k] * t) * std::sin(2 * M_PI * f * ratio[k] * t);
  return attack * s;
}

}  // namespace

bool build_chime_wav(uint32_t file_size, std::vector<uint8_t>& image) {
  const std::string name = "Velmora chime";
  const std::string copyright = "Copyright (c) 1998 Tarvik";
  // Fixed part: RIFF header 12, fmt chunk 24, LIST header 12, INAM 8+14,
  // ICOP header 8, data header 8.
  const uint32_t inam_size = static_cast<uint32_t>(name.size() + 1 + 1) & ~1u;  // even
  const uint32_t fixed = 12 + 24 + 12 + 8 + inam_size + 8 + 8;
  const uint32_t min_icop = static_cast<uint32_t>(copyright.size()) + 2;
  if (file_size % 2 != 0 || file_size < fixed + min_icop + 1024) return false;
  uint32_t room = file_size - fixed - min_icop;
  uint32_t data_size = room - room % BlockAlign;
  uint32_t icop_size = min_icop + (room - data_size);  // even: room and data_size are even

  image.clear();
  image.reserve(file_size);
  put_id(image, "RIFF");
  put32(image, file_size - 8);
  put_id(image, "WAVE");

  put_id(image, "fmt ");
  put32(image, 16);
  put16(image, 1);
  put16(image, Channels);
  put32(image, SampleRate);
  put32(image, SampleRate * BlockAlign);
  put16(image, BlockAlign);
  put16(image, 16);

  put_id(image, "LIST");
  put32(image, 4 + 8 + inam_size + 8 + icop_size);
  put_id(image, "INFO");
  put_id(image, "INAM");
  put32(image, inam_size);
  put_text(image, name, inam_size);
  put_id(image, "ICOP");
  put32(image, icop_size);
  put_text(image, copyright, icop_size);

  put_id(image, "data");
  put32(image, data_size);

  // A slow pentatonic phrase; notes alternate between the two sides.
  const double notes[] = {659.26, 783.99, 880.00, 987.77, 1174.66, 987.77, 880.00, 783.99};
  const double spacing = 0.55;
  uint32_t frames = data_size / BlockAlign;
  double end_time = static_cast<double>(frames) / SampleRate;
  for (uint32_t i = 0; i < frames; i++) {
    double t = static_cast<double>(i) / SampleRate;
    double left = 0, right = 0;
    int first = static_cast<int>(t / spacing) - 8;
    for (int n = first < 0 ? 0 : first; n <= static_cast<int>(t / spacing); n++) {
      double f = notes[n % 8] * (n % 16 < 8 ? 1.0 : 0.5);
      double pan = 0.5 + 0.35 * std::sin(n * 1.7);
      double s = bell(t - n * spacing, f);
      left += s * (1.0 - pan);
      right += s * pan;
    }
    // A quiet drone under the bells, and a fade at both ends.
    double drone = 0.08 * std::sin(2 * M_PI * 110.0 * t) * (0.6 + 0.4 * std::sin(2 * M_PI * 0.2 * t));
    double fade = std::fmin(1.0, std::fmin(t / 0.05, (end_time - t) / 0.8));
    if (fade < 0) fade = 0;
    double l = (0.32 * left + drone) * fade;
    double r = (0.32 * right + drone) * fade;
    auto to16 = [](double v) {
      long s = std::lround(v * 32767.0);
      if (s > 32767) s = 32767;
      if (s < -32768) s = -32768;
      return static_cast<uint32_t>(static_cast<uint16_t>(static_cast<int16_t>(s)));
    };
    put16(image, to16(l));
    put16(image, to16(r));
  }
  return image.size() == file_size;
}
