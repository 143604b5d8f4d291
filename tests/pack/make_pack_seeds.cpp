// Writes seed inputs of fuzz_pack_roundtrip into the folder given: text,
// sound, an image, a few files at once and copy-language inputs, at every
// level, solid and not.

#include <cstdio>
#include <string>

#include "tests/pack/pack_test_util.h"

using namespace packtest;

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::string dir = argv[1];
  Bytes kinds[] = {text_data(3000, 1), audio_data(2000, 2, 1, 2), audio_data(1000, 1, 2, 3), image_data(40, 20, 3, 4),
                   binary_data(3000, 5)};
  int n = 0;
  for (int level = 0; level <= 5; level++)
    for (int solid = 0; solid <= 1; solid++) {
      Bytes in = {static_cast<uint8_t>(level | (solid ? 8 : 0))};
      for (const Bytes& k : kinds) {
        in.insert(in.end(), k.begin(), k.end());
        in.insert(in.end(), {'|', '~', '|'});
      }
      // Copy language: literals, then long repeats at near and far distances.
      Bytes ex = {static_cast<uint8_t>(level | (solid ? 8 : 0) | 16), 63};
      Bytes lit = text_data(64, 6);
      ex.insert(ex.end(), lit.begin(), lit.end());
      ex.insert(ex.end(), {0x8F, 200, 63, 0, 0x83, 255, 0xFF, 0x0F, 10, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k'});
      for (const Bytes& b : {in, ex}) {
        std::string path = dir + "/seed" + std::to_string(n++);
        FILE* f = std::fopen(path.c_str(), "wb");
        if (!f) return 1;
        std::fwrite(b.data(), 1, b.size(), f);
        std::fclose(f);
      }
    }
  return 0;
}
