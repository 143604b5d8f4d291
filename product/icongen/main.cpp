// vl_icongen saver|remove OUT.ico
#include "product/icongen/icon_writer.h"

#include <cstdio>
#include <cstring>
#include <fstream>

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "saver") != 0 && std::strcmp(argv[1], "remove") != 0)) {
    std::fprintf(stderr, "usage: vl_icongen saver|remove OUT.ico\n");
    return 2;
  }
  std::vector<uint8_t> image;
  if (!build_icon(std::strcmp(argv[1], "saver") == 0 ? IconSaver : IconRemove, image)) {
    std::fprintf(stderr, "vl_icongen: cannot compress the icon\n");
    return 1;
  }
  std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  if (!out) {
    std::fprintf(stderr, "vl_icongen: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
