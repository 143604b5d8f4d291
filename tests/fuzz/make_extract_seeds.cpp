// Writes the seed archives of fuzz_extract into the folder given: one of each
// shape the driver handles (stored, compressed, solid, behind a
// self-extractor stub, with passed-over blocks, damaged), so that the fuzzer
// starts from inputs that reach deep into the reader and the decoder.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/archive_builder.h"
#include "pack/archive_writer.h"

using arctest::ArchiveBuilder;
using arctest::FileSpec;

namespace {

std::vector<uint8_t> text(size_t size, uint32_t seed) {
  static const char* const words[] = {"light", "drift", "pixel", "wave", "glow", "shade", "frame", "dusk"};
  std::vector<uint8_t> out;
  uint32_t x = seed * 2654435761u + 7;
  while (out.size() < size) {
    x = x * 1103515245u + 12345u;
    for (const char* w = words[(x >> 16) % 8]; *w && out.size() < size; ++w) out.push_back(uint8_t(*w));
    if (out.size() < size) out.push_back(' ');
  }
  return out;
}

std::vector<uint8_t> tone(size_t size) {
  // Slowly varying samples: the encoder may choose its multimedia mode.
  std::vector<uint8_t> out(size);
  int v = 128, d = 1;
  for (size_t i = 0; i < size; ++i) {
    v += d;
    if (v > 200 || v < 60) d = -d;
    out[i] = uint8_t(v + int(i % 3));
  }
  return out;
}

FileSpec compressed(const std::string& name, const std::vector<uint8_t>& data, TPackState& state, bool solid) {
  std::vector<uint8_t> packed;
  pack_entry(state, data.data(), data.size(), solid, 5, packed);
  FileSpec f = arctest::packed_file(name, packed, data);
  if (solid) f.flags |= 0x0010;
  return f;
}

bool save(const std::string& folder, const char* name, const std::vector<uint8_t>& bytes) {
  const std::string path = folder + "/" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: make_extract_seeds FOLDER\n", stderr);
    return 2;
  }
  const std::string folder = argv[1];
  bool ok = true;

  {  // Stored entries, a directory, a comment and a sub-block.
    FileSpec dir;
    dir.name = "docs";
    dir.attr = 0x10;
    ArchiveBuilder b;
    b.marker().main_header().file(dir).file(arctest::stored_file("docs\\a.txt", "stored entry\n"));
    b.comment("a comment").sub_block({1, 2, 3, 4}).file(arctest::stored_file("b.bin", text(300, 1))).end_block();
    ok &= save(folder, "stored.arc", b.bytes());
  }
  {  // Compressed entries, fresh state each.
    TPackState state;
    ArchiveBuilder b;
    b.marker().main_header();
    pack_state_reset(state);
    b.file(compressed("text.txt", text(4000, 2), state, false));
    pack_state_reset(state);
    b.file(compressed("tone.raw", tone(3000), state, false));
    ok &= save(folder, "compressed.arc", b.bytes());
  }
  {  // A solid archive whose later entries refer back to the earlier ones.
    TPackState state;
    pack_state_reset(state);
    arctest::MainHeaderSpec m;
    m.flags = 0x08;
    const auto first = text(3000, 3);
    auto second = first;
    second.resize(2000);
    ArchiveBuilder b;
    b.marker().main_header(m);
    b.file(compressed("one.txt", first, state, false));
    b.file(compressed("two.txt", second, state, true));
    b.file(compressed("three.txt", text(1000, 4), state, true));
    ok &= save(folder, "solid.arc", b.bytes());
  }
  {  // Behind a self-extractor stub.
    TPackState state;
    pack_state_reset(state);
    ArchiveBuilder b;
    b.prefix(600, 0x4D).marker().main_header().file(compressed("setup.txt", text(1500, 5), state, false));
    ok &= save(folder, "stub.arc", b.bytes());
  }
  {  // Damage the reader and the driver must survive: a bad checksum, a
     // version without decoder, an entry claiming more than there is.
    FileSpec bad_crc = arctest::stored_file("crc.txt", "data");
    bad_crc.file_crc = 1;
    FileSpec old = arctest::packed_file("old.bin", {1, 2, 3}, {9, 9, 9, 9});
    old.unp_ver = 15;
    FileSpec cut = arctest::stored_file("cut.txt", "entry");
    cut.pack_size = 5000;
    ArchiveBuilder b;
    b.marker().main_header().file(bad_crc).file(old).file(cut);
    ok &= save(folder, "damaged.arc", b.bytes());
  }
  if (!ok) {
    std::fprintf(stderr, "make_extract_seeds: cannot write into %s\n", folder.c_str());
    return 1;
  }
  return 0;
}
