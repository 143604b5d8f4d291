// Container writer: marker, main header, file headers with their CRCs, and
// the in-memory archive builder used by the tests and the benchmarks.

#include "pack/archive_writer.h"

#include <ctime>

#include "archive/arc_block.h"
#include "archive/arc_checksum.h"

namespace {

void put16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void put32(std::vector<uint8_t>& out, uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}

// Header CRC: the low 16 bits of the complemented CRC-32 of the header from
// its type byte on (the CRC field itself is not covered).
void seal_header(std::vector<uint8_t>& out, size_t start) {
  uint32_t crc = ~update_checksum(0xFFFFFFFFu, out.data() + start + 2, out.size() - start - 2, 2);
  out[start] = static_cast<uint8_t>(crc);
  out[start + 1] = static_cast<uint8_t>(crc >> 8);
}

bool crc_table_ready() { return crc_table[1] != 0; }

}  // namespace

uint32_t pack_crc32(const uint8_t* data, size_t size) {
  if (!crc_table_ready()) init_crc_table();
  return ~update_checksum(0xFFFFFFFFu, data, size, 2);
}

void pack_main_header(std::vector<uint8_t>& out, bool solid_archive) {
  if (!crc_table_ready()) init_crc_table();
  out.insert(out.end(), kMarker, kMarker + kMarkerSize);
  size_t start = out.size();
  put16(out, 0);
  out.push_back(MAIN_HEAD);
  put16(out, solid_archive ? MHD_SOLID : 0);
  put16(out, kMainHeaderSize);
  put16(out, 0);
  put32(out, 0);
  seal_header(out, start);
}

void pack_file_header(std::vector<uint8_t>& out, const TPackEntryInfo& info, uint32_t pack_size) {
  if (!crc_table_ready()) init_crc_table();
  size_t start = out.size();
  put16(out, 0);
  out.push_back(FILE_HEAD);
  put16(out, static_cast<uint16_t>(info.flags | LONG_BLOCK | LHD_WINDOW_1M));
  put16(out, static_cast<uint32_t>(kFileHeaderSize + info.name.size()));
  put32(out, pack_size);
  put32(out, info.unp_size);
  out.push_back(kHostWindows);
  put32(out, info.file_crc);
  put32(out, info.file_time);
  out.push_back(kMaxUnpVer);
  out.push_back(info.method);
  put16(out, static_cast<uint32_t>(info.name.size()));
  put32(out, info.attr);
  out.insert(out.end(), info.name.begin(), info.name.end());
  seal_header(out, start);
}

uint32_t pack_dos_time(int64_t unix_time) {
  time_t t = static_cast<time_t>(unix_time);
  struct tm tmv = {};
#ifdef _WIN32
  if (localtime_s(&tmv, &t) != 0) return 0;
#else
  if (!localtime_r(&t, &tmv)) return 0;
#endif
  int year = tmv.tm_year + 1900;
  if (year < 1980) return (1u << 5 | 1u) << 16;  // 1980-01-01 00:00, the earliest DOS date
  if (year > 2107) year = 2107;
  uint32_t date = static_cast<uint32_t>(((year - 1980) << 9) | ((tmv.tm_mon + 1) << 5) | tmv.tm_mday);
  uint32_t time = static_cast<uint32_t>((tmv.tm_hour << 11) | (tmv.tm_min << 5) | (tmv.tm_sec / 2));
  return date << 16 | time;
}

void pack_run_start(TPackRun& run, int level, bool solid_archive) {
  run.level = level;
  run.solid = solid_archive;
  run.chain = false;
  run.count = 0;
  pack_state_reset(run.state);
}

const uint8_t* pack_run_entry(TPackRun& run, const uint8_t* data, size_t size, TPackEntryInfo& info,
                              uint32_t& body_size) {
  info.unp_size = static_cast<uint32_t>(size);
  info.file_crc = pack_crc32(data, size);
  info.flags &= static_cast<uint16_t>(~LHD_SOLID);
  if (run.solid && run.count > 0) info.flags |= LHD_SOLID;
  run.count++;
  bool stored = true;
  if (run.level > 0 && size > 0) {
    if (run.solid && run.chain) run.backup = run.state;
    pack_entry(run.state, data, size, run.solid && run.chain, run.level, run.packed);
    if (run.packed.size() < size) {
      stored = false;
    } else if (run.solid && run.chain) {
      run.state = run.backup;
    }
  }
  if (stored) {
    info.method = kMethodStored;
    body_size = static_cast<uint32_t>(size);
    // A stored copy bypasses the decoder's window (and may use part of it
    // as its transfer buffer): the next entry keeps the decoder's tables,
    // distances and predictor, but copies nothing from before itself.
    if (size > 0) run.state.history.clear();
    return data;
  }
  info.method = kMethodBest;
  // Without an earlier compressed entry the decoder has no tables to
  // continue with: the entry starts the chain afresh.
  if (!run.chain) info.flags &= static_cast<uint16_t>(~LHD_SOLID);
  run.chain = run.solid;
  body_size = static_cast<uint32_t>(run.packed.size());
  return run.packed.data();
}

void pack_archive(const std::vector<TPackFile>& files, int level, bool solid_archive,
                  std::vector<uint8_t>& out) {
  out.clear();
  pack_main_header(out, solid_archive);
  static TPackRun run;  // large; one archive at a time
  pack_run_start(run, level, solid_archive);
  for (const TPackFile& f : files) {
    TPackEntryInfo info;
    info.name = f.name;
    info.file_time = f.file_time;
    uint32_t body_size = 0;
    const uint8_t* body = pack_run_entry(run, f.data.data(), f.data.size(), info, body_size);
    pack_file_header(out, info, body_size);
    out.insert(out.end(), body, body + body_size);
  }
}
