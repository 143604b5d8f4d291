// Benchmark of the packer and the decoder against zlib, xz and libdeflate on
// the files given on the command line (bench/run passes bench/corpus/*).
//
// Per file and in total, on the same data in one run:
//   - compressed size of `vlarc -m3` and `-m5` (the entry as an archive holds
//     it: compressed, or stored when that is not smaller) and of zlib level 9
//     and xz level 6, as ratios to the original;
//   - compression speed of -m3 and of zlib level 9, and of -m5 against xz
//     level 6 (one run each: these are the slow ones);
//   - in total, the speed of every level from -m1 to -m5 (one run each), so
//     that a level slower than the one above it shows;
// Speeds are the fastest of several interleaved runs, in processor time of
// the benchmark's thread.
//   - decompression throughput (bytes out per second, CRC-32 included) of the
//     setup's own driver and decoder on the -m5 archive, of zlib's inflate on
//     a gzip stream and of libdeflate's gzip decompressor.

#include <libdeflate.h>
#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "archive/arc_checksum.h"
#include "archive/arc_extract.h"
#include "archive/archive_class.h"
#include "pack/archive_writer.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Processor seconds this thread has used: on a shared machine the time
// that other programs hold the processor is left out, so each contender is
// charged for its own work only.
double thread_seconds() {
#if defined(CLOCK_THREAD_CPUTIME_ID)
  timespec ts;
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) == 0) return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
#endif
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

// Seconds one call of f takes.
template <typename F>
double once(F f) {
  double t0 = thread_seconds();
  f();
  return thread_seconds() - t0;
}

// Runs the contenders in turn, round after round (at least 3 rounds and
// min_time seconds), and keeps each one's fastest run: the machine's other
// load then tells on all of them alike and the minimum shows the code.
template <typename... F>
void race(double min_time, double* best, F... f) {
  constexpr size_t n = sizeof...(F);
  for (size_t i = 0; i < n; i++) best[i] = 1e30;
  auto t0 = Clock::now();
  for (int round = 0; round < 3 || (seconds_since(t0) < min_time && round < 200); round++) {
    size_t i = 0;
    ((best[i] = std::min(best[i], once(f)), i++), ...);
  }
}

bool read_file(const char* path, Bytes& out) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
  std::fclose(f);
  return true;
}

// The driver writes here; the bytes are counted and dropped.
class CountingOutput : public TOutputStream {
 public:
  uint64_t bytes = 0;
  bool open(const char*) override { return false; }
  bool create(const char* n) override {
    name = n;
    opened = true;
    return true;
  }
  bool close() override {
    opened = false;
    return true;
  }
  int32_t write(const void*, int32_t count) override {
    bytes += static_cast<uint64_t>(count);
    return count;
  }
  int32_t read(void*, int32_t) override { return 0; }
  uint32_t seek(int32_t, int32_t) override { return kSeekOk; }
  int32_t position() override { return 0; }
  int32_t size() override { return 0; }
  void set_times() override {}
  void erase() override {}
};

// One-entry archive at the given level; body_size gets the entry's data size.
Bytes make_archive(const Bytes& data, int level, uint32_t& body_size) {
  static TPackRun run;
  pack_run_start(run, level, false);
  Bytes out;
  pack_main_header(out, false);
  TPackEntryInfo info;
  info.name = "entry";
  const uint8_t* body = pack_run_entry(run, data.data(), data.size(), info, body_size);
  pack_file_header(out, info, body_size);
  out.insert(out.end(), body, body + body_size);
  return out;
}

bool extract_once(const Bytes& archive, uint64_t expect) {
  TMyMemoryStream::register_block("#101", archive.data(), static_cast<int32_t>(archive.size()));
  TMyMemoryStream input;
  CountingOutput output;
  archive_stream = &input;
  output_stream = &output;
  OnGetTargetPath = {[](void*, const std::string& n, std::string& target) { target = n; }, nullptr};
  extract_result = 0;
  extract_archive();
  bool ok = extract_result == 0 && output.bytes == expect;
  OnGetTargetPath = {};
  archive_stream = nullptr;
  output_stream = nullptr;
  release_buffers();
  TMyMemoryStream::unregister_block("#101");
  return ok;
}

Bytes gzip9(const Bytes& data) {
  z_stream zs = {};
  deflateInit2(&zs, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&zs, data.size()) + 64);
  zs.next_in = const_cast<uint8_t*>(data.data());
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

bool gunzip(const Bytes& gz, Bytes& out) {
  z_stream zs = {};
  inflateInit2(&zs, 15 + 16);
  zs.next_in = const_cast<uint8_t*>(gz.data());
  zs.avail_in = static_cast<uInt>(gz.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  int r = inflate(&zs, Z_FINISH);
  inflateEnd(&zs);
  return r == Z_STREAM_END;
}

size_t xz6_size(const Bytes& data) {
  Bytes out(lzma_stream_buffer_bound(data.size()));
  size_t pos = 0;
  if (lzma_easy_buffer_encode(6, LZMA_CHECK_CRC32, nullptr, data.data(), data.size(), out.data(), &pos,
                              out.size()) != LZMA_OK)
    return 0;
  return pos;
}

struct Row {
  std::string name;
  double size = 0, m3 = 0, m5 = 0, z9 = 0, xz = 0;
  double m3_time = 0, z9_time = 0, m5_time = 0, xz_time = 0;
  double dec_ours = 0, dec_inflate = 0, dec_libdeflate = 0;  // seconds per run
  double level_time[6] = {};  // one run of -m1 .. -m5
  bool ok = true;
};

void print_row(const Row& r) {
  auto rate = [&](double t) { return t > 0 ? r.size / t / 1e6 : 0.0; };
  std::printf("%-24s %10.0f  %6.3f %6.3f %6.3f %6.3f  %7.1f %7.1f  %7.1f %7.1f %7.1f%s\n", r.name.c_str(), r.size,
              r.m3 / r.size, r.m5 / r.size, r.z9 / r.size, r.xz / r.size, rate(r.m3_time), rate(r.z9_time),
              rate(r.dec_ours), rate(r.dec_inflate), rate(r.dec_libdeflate), r.ok ? "" : "  ROUND TRIP FAILED");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench FILE...\n");
    return 2;
  }
  init_crc_table();
  std::printf("%-24s %10s  %6s %6s %6s %6s  %7s %7s  %7s %7s %7s\n", "file", "bytes", "m3", "m5", "zlib9", "xz6",
              "m3MB/s", "z9MB/s", "ourDec", "inflate", "libdefl");
  std::printf("%-24s %10s  %27s  %15s  %23s\n", "", "", "(compressed / original)", "(compression)",
              "(decompression, MB/s out)");
  Row total;
  total.name = "TOTAL";
  bool all_smaller = true, all_ok = true, m5_slower_on_large = false;
  double wav16_m5 = 0, wav16_z9 = 0, wav16_dec = 0, wav16_inflate = 0;
  libdeflate_decompressor* ld = libdeflate_alloc_decompressor();
  for (int i = 1; i < argc; i++) {
    Bytes data;
    if (!read_file(argv[i], data) || data.empty()) continue;
    Row r;
    std::string path = argv[i];
    r.name = path.substr(path.find_last_of('/') + 1);
    r.size = static_cast<double>(data.size());
    uint32_t body = 0;
    Bytes a3, gz;
    double t[3];
    race(0.5, t, [&] { a3 = make_archive(data, 3, body); }, [&] { gz = gzip9(data); });
    r.m3_time = t[0];
    r.z9_time = t[1];
    r.m3 = body;
    Bytes a5;
    r.m5_time = once([&] { a5 = make_archive(data, 5, body); });
    r.m5 = body;
    r.level_time[5] = r.m5_time;
    for (int level = 1; level <= 4; level++) {
      Bytes a;
      r.level_time[level] = once([&] { a = make_archive(data, level, body); });
    }
    r.z9 = static_cast<double>(gz.size() - 18);  // the deflate data, without the gzip wrapper
    r.xz_time = once([&] { r.xz = static_cast<double>(xz6_size(data)); });

    Bytes back(data.size());
    r.ok = extract_once(a5, data.size()) && gunzip(gz, back) && back == data;
    size_t actual = 0;
    race(
        0.3, t, [&] { extract_once(a5, data.size()); }, [&] { gunzip(gz, back); },
        [&] { libdeflate_gzip_decompress(ld, gz.data(), gz.size(), back.data(), back.size(), &actual); });
    r.dec_ours = t[0];
    r.dec_inflate = t[1];
    r.dec_libdeflate = t[2];
    print_row(r);
    std::fflush(stdout);

    total.size += r.size;
    total.m3 += r.m3;
    total.m5 += r.m5;
    total.z9 += r.z9;
    total.xz += r.xz;
    total.m3_time += r.m3_time;
    total.z9_time += r.z9_time;
    total.m5_time += r.m5_time;
    total.xz_time += r.xz_time;
    for (int level = 1; level <= 5; level++) total.level_time[level] += r.level_time[level];
    if (r.size > 1e6 && r.m5_time > r.xz_time) m5_slower_on_large = true;
    std::printf("%-24s -m5 %6.2f MB/s, xz -6 %6.2f MB/s, ratio %.2f\n", "", r.size / r.m5_time / 1e6,
                r.size / r.xz_time / 1e6, r.xz_time / r.m5_time);
    total.dec_ours += r.dec_ours;
    total.dec_inflate += r.dec_inflate;
    total.dec_libdeflate += r.dec_libdeflate;
    all_ok = all_ok && r.ok;
    if (r.m5 >= r.z9) all_smaller = false;
    if (r.name.rfind("wav16", 0) == 0) {
      wav16_m5 += r.m5;
      wav16_z9 += r.z9;
      wav16_dec += r.dec_ours;
      wav16_inflate += r.dec_inflate;
    }
  }
  libdeflate_free_decompressor(ld);
  total.ok = all_ok;
  print_row(total);
  std::printf("\n");
  std::printf("-m5 total / zlib-9 total        %.3f   (target <= 0.90)\n", total.m5 / total.z9);
  std::printf("-m5 smaller than zlib-9 on every file: %s\n", all_smaller ? "yes" : "no");
  if (wav16_z9 > 0)
    std::printf("16-bit WAV: -m5 / zlib-9         %.3f   (target <= 0.85)\n", wav16_m5 / wav16_z9);
  std::printf("-m3 speed / zlib-9 speed         %.2f    (target >= 1)\n", total.z9_time / total.m3_time);
  std::printf("our decoding / inflate           %.2f    (target >= 1)\n", total.dec_inflate / total.dec_ours);
  std::printf("our decoding / libdeflate        %.2f    (target >= 0.6)\n", total.dec_libdeflate / total.dec_ours);
  if (wav16_dec > 0)
    std::printf("16-bit WAV: decoding / inflate   %.2f    (target >= 1)\n", wav16_inflate / wav16_dec);
  std::printf("-m5 total / original            %.5f (target <= 0.302)\n", total.m5 / total.size);
  std::printf("-m5 speed / xz -6 speed          %.2f    (target >= 1 in total and on every file over 1 MB: %s)\n",
              total.xz_time / total.m5_time, m5_slower_on_large ? "no" : "yes");
  bool ordered = true;
  std::printf("levels -m1 .. -m5, MB/s in total  ");
  for (int level = 1; level <= 5; level++) {
    std::printf(" %.2f", total.size / total.level_time[level] / 1e6);
    if (level > 1 && total.level_time[level - 1] > total.level_time[level]) ordered = false;
  }
  std::printf("   (target: each level at least as fast as the next: %s)\n", ordered ? "yes" : "no");
  std::printf("round trips: %s\n", all_ok ? "all sound" : "FAILURES");
  return all_ok ? 0 : 1;
}
