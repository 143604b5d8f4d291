// vl_helpgen SOURCE.txt OUT.Hlp OUT.cnt
// Compiles the plain-text help source into the help file and its contents file.
#include "product/helpgen/hlp_writer.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

static bool write_file(const char* path, const void* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  return static_cast<bool>(out);
}

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: vl_helpgen SOURCE.txt OUT.Hlp OUT.cnt\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "vl_helpgen: cannot read %s\n", argv[1]);
    return 1;
  }
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  THelpSource source;
  std::string error;
  std::vector<uint8_t> image;
  if (!parse_help_source(text, source, error) || !build_help_file(source, image, error)) {
    std::fprintf(stderr, "vl_helpgen: %s: %s\n", argv[1], error.c_str());
    return 1;
  }
  std::string base = argv[2];
  size_t slash = base.find_last_of("/\\");
  if (slash != std::string::npos) base = base.substr(slash + 1);
  std::string contents = build_contents_file(source, base);
  if (!write_file(argv[2], image.data(), image.size()) ||
      !write_file(argv[3], contents.data(), contents.size())) {
    std::fprintf(stderr, "vl_helpgen: cannot write the output\n");
    return 1;
  }
  return 0;
}
