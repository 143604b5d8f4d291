// Container writer: marker, main header, file headers with their CRCs, and
// the in-memory archive builder used by the tests and the benchmarks.

#include "pack/archive_writer.h"

#include <algorithm>
#include <ctime>
#include <memory>

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

namespace {

// Reads through to another source, keeping the CRC-32 of what went by.
class CrcSource : public ByteSource {
 public:
  explicit CrcSource(ByteSource& in) : in_(in) {}
  size_t read(uint8_t* data, size_t size) override {
    size_t n = in_.read(data, size);
    crc_ = update_checksum(crc_, data, n, 2);
    return n;
  }
  bool rewind() override {
    crc_ = 0xFFFFFFFFu;
    return in_.rewind();
  }
  uint32_t crc() const { return ~crc_; }

 private:
  ByteSource& in_;
  uint32_t crc_ = 0xFFFFFFFFu;
};

// Copies size bytes from in to out in pieces.
PackAddResult copy_stored(ByteSource& in, uint64_t size, ByteSink& out) {
  std::vector<uint8_t> piece(static_cast<size_t>(std::min<uint64_t>(size, 1u << 16)));
  while (size > 0) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(size, piece.size()));
    if (in.read(piece.data(), n) != n) return PackAddResult::read_failed;
    if (!out.write(piece.data(), n)) return PackAddResult::write_failed;
    size -= n;
  }
  return PackAddResult::added;
}

}  // namespace

PackAddResult pack_run_add(TPackRun& run, ByteSource& in, uint64_t size, TPackEntryInfo& info, ByteSink& out) {
  if (!crc_table_ready()) init_crc_table();
  info.unp_size = static_cast<uint32_t>(size);
  info.flags &= static_cast<uint16_t>(~LHD_SOLID);
  if (run.solid && run.count > 0) info.flags |= LHD_SOLID;
  run.count++;

  // The header goes first with the sizes still open, and again once they
  // are known.
  const uint64_t header_at = out.position();
  std::vector<uint8_t> head;
  pack_file_header(head, info, 0);
  if (!out.write(head.data(), head.size())) return PackAddResult::write_failed;
  const uint64_t body_at = out.position();

  CrcSource source(in);
  bool stored = true;
  bool tried = false;
  uint64_t body_size = size;
  if (run.level > 0 && size > 0) {
    tried = true;
    const bool continues = run.solid && run.chain;
    if (continues) run.backup = run.state;
    uint64_t written = 0;
    Encoder::Result r = run.encoder.pack(run.state, source, size, continues, run.level, out, size, written);
    if (r == Encoder::Result::read_failed) return PackAddResult::read_failed;
    if (r == Encoder::Result::write_failed) return PackAddResult::write_failed;
    if (r == Encoder::Result::packed) {
      stored = false;
      body_size = written;
    } else if (continues) {
      run.state = run.backup;
    }
  }
  if (stored) {
    info.method = kMethodStored;
    if (size > 0 && (!source.rewind() || !out.seek(body_at))) return PackAddResult::read_failed;
    PackAddResult r = copy_stored(source, size, out);
    if (r != PackAddResult::added) return r;
    if (tried && !out.truncate()) return PackAddResult::write_failed;
    // A stored copy bypasses the decoder's window (and may use part of it
    // as its transfer buffer): the next entry keeps the decoder's tables,
    // distances and predictor, but copies nothing from before itself.
    if (size > 0) run.state.history.clear();
  } else {
    info.method = kMethodBest;
    // Without an earlier compressed entry the decoder has no tables to
    // continue with: the entry starts the chain afresh.
    if (!run.chain) info.flags &= static_cast<uint16_t>(~LHD_SOLID);
    run.chain = run.solid;
  }
  info.file_crc = source.crc();
  head.clear();
  pack_file_header(head, info, static_cast<uint32_t>(body_size));
  if (!out.seek(header_at) || !out.write(head.data(), head.size()) || !out.seek(body_at + body_size))
    return PackAddResult::write_failed;
  return PackAddResult::added;
}

const uint8_t* pack_run_entry(TPackRun& run, const uint8_t* data, size_t size, TPackEntryInfo& info,
                              uint32_t& body_size) {
  run.packed.clear();
  MemorySource in(data, size);
  VectorSink out(run.packed);
  pack_run_add(run, in, size, info, out);  // memory neither fails to read nor to write
  size_t header_size = kFileHeaderSize + info.name.size();
  body_size = static_cast<uint32_t>(run.packed.size() - header_size);
  return run.packed.data() + header_size;
}

void pack_archive(const std::vector<TPackFile>& files, int level, bool solid_archive,
                  std::vector<uint8_t>& out) {
  out.clear();
  pack_main_header(out, solid_archive);
  auto run = std::make_unique<TPackRun>();  // large
  pack_run_start(*run, level, solid_archive);
  VectorSink sink(out);
  for (const TPackFile& f : files) {
    TPackEntryInfo info;
    info.name = f.name;
    info.file_time = f.file_time;
    MemorySource in(f.data.data(), f.data.size());
    pack_run_add(*run, in, f.data.size(), info, sink);
  }
}
