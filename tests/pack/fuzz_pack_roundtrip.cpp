// Differential fuzz target of the encoder: whatever the input, the archive
// that the packer writes must decode to the same bytes through the setup's
// own extraction driver and through the reference decoder.
//
// Input layout: byte 0 selects the level (value mod 6), solid (bit 3) and
// whether the rest is taken as it is or expanded (bit 4) by a little copy
// language that makes long repeats cheap for the fuzzer to reach; the data
// is then split into up to four files at each "|~|" separator.

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tests/pack/pack_test_util.h"

using namespace packtest;

namespace {

// op < 0x80: (op + 1) literal bytes follow; otherwise a copy of
// (next byte + 2) bytes from (two bytes + 1) back, repeated (op & 0x0F) + 1 times.
Bytes expand(const uint8_t* p, size_t n) {
  Bytes out;
  size_t i = 0;
  while (i < n && out.size() < (3u << 20)) {
    uint8_t op = p[i++];
    if (op < 0x80) {
      size_t k = std::min<size_t>(op + 1u, n - i);
      out.insert(out.end(), p + i, p + i + k);
      i += k;
    } else if (i + 3 <= n) {
      size_t len = p[i] + 2u, dist = (p[i + 1] | p[i + 2] << 8) + 1u;
      i += 3;
      for (int r = 0; r <= (op & 0x0F); r++)
        for (size_t k = 0; k < len; k++) out.push_back(out.size() >= dist ? out[out.size() - dist] : 0);
    } else {
      break;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  int level = data[0] % 6;
  bool solid = (data[0] & 8) != 0;
  Bytes body = (data[0] & 16) ? expand(data + 1, size - 1) : Bytes(data + 1, data + size);
  std::vector<TPackFile> files;
  size_t start = 0;
  for (size_t i = 0; i + 3 <= body.size() && files.size() < 3; i++)
    if (body[i] == '|' && body[i + 1] == '~' && body[i + 2] == '|') {
      files.push_back({"f" + std::to_string(files.size()), Bytes(body.begin() + start, body.begin() + i), 0});
      start = i + 3;
      i += 2;
    }
  files.push_back({"f" + std::to_string(files.size()), Bytes(body.begin() + start, body.end()), 0});

  Bytes archive;
  pack_archive(files, level, solid, archive);
  std::vector<Bytes> ref;
  if (!ref_extract(archive, ref) || ref.size() != files.size()) std::abort();
  for (size_t i = 0; i < files.size(); i++)
    if (ref[i] != files[i].data) std::abort();
  std::map<std::string, Bytes> out;
  if (driver_extract(archive, out) != 0) std::abort();
  for (const TPackFile& f : files)
    if (out[f.name] != f.data) std::abort();
  return 0;
}
