// vl_wavgen OUT.wav [SIZE]
// vl_wavgen OUT.wav --fill-to TOTAL FILE...
// Writes the Velmora chime. With --fill-to, the sound is sized so that it and
// the given files add up to TOTAL bytes (one byte less when that would be
// odd), and the run fails when any two of the files would have the same size.
#include "product/wavgen/wav_writer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: vl_wavgen OUT.wav [SIZE | --fill-to TOTAL FILE...]\n");
    return 2;
  }
  long size = 4 * 88200 + 4096;
  std::set<long> sizes;
  if (argc >= 4 && std::strcmp(argv[2], "--fill-to") == 0) {
    long total = std::atol(argv[3]);
    long others = 0;
    for (int i = 4; i < argc; i++) {
      std::ifstream f(argv[i], std::ios::binary | std::ios::ate);
      if (!f) {
        std::fprintf(stderr, "vl_wavgen: cannot read %s\n", argv[i]);
        return 1;
      }
      long s = static_cast<long>(f.tellg());
      if (!sizes.insert(s).second) {
        std::fprintf(stderr, "vl_wavgen: two payload files have the same size (%ld)\n", s);
        return 1;
      }
      others += s;
    }
    size = total - others;
    if (size % 2) {
      // A RIFF file has an even size: the total is missed by one byte.
      std::fprintf(stderr, "vl_wavgen: the other files leave an odd remainder; the total is %ld\n", total - 1);
      size--;
    }
  } else if (argc == 3) {
    size = std::atol(argv[2]);
  }
  if (size < 64 * 1024) {
    std::fprintf(stderr, "vl_wavgen: no room for the sound (%ld bytes)\n", size);
    return 1;
  }
  if (sizes.count(size)) {
    std::fprintf(stderr, "vl_wavgen: the sound would have the size of another file\n");
    return 1;
  }
  std::vector<uint8_t> image;
  if (!build_chime_wav(static_cast<uint32_t>(size), image)) {
    std::fprintf(stderr, "vl_wavgen: cannot make a sound of %ld bytes\n", size);
    return 1;
  }
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  if (!out) {
    std::fprintf(stderr, "vl_wavgen: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
