// Host tool, run at build time: writes the file worker tests' archive
// (stored entries) to the path given as its argument.
#include <cstdio>

#include "tests/install/engine_payload.h"
#include "tests/support/archive_builder.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_engine_payload <output>\n");
    return 2;
  }
  arctest::ArchiveBuilder builder;
  builder.marker().main_header();
  for (const enginetest::PayloadEntry& entry : enginetest::kPayload)
    builder.file(arctest::stored_file(entry.archived_name,
                                      enginetest::PayloadContent(entry)));
  const std::vector<uint8_t>& bytes = builder.bytes();
  std::FILE* out = std::fopen(argv[1], "wb");
  if (!out) return 1;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  return std::fclose(out) == 0 && written ? 0 : 1;
}
