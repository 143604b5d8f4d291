// Differential fuzz target of the decoder's fast paths: arbitrary bytes as
// an entry's packed data (hostile tables, codes and copies included) decode
// in stretches and once more one step at a time (unpack_step_by_step), and
// everything observable must agree: bytes, write and read calls, progress
// reports, checksum and the decoder state at the end.
//
// Input layout: bytes 0-2 the unpacked size (little-endian, 24 bits), byte 3
// bit 0: the same packed data follows as a second, solid entry; the rest is
// the packed data.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "tests/unpack/unpack_harness.h"

using namespace unpacktest;

namespace {

struct Outcome {
  std::vector<uint8_t> bytes;
  std::vector<int32_t> writes, requests;
  std::vector<std::pair<int32_t, int32_t>> progress;
  std::vector<uint32_t> checksums;
  std::vector<int32_t> left;
  TUnpackState state;
};

void record_progress(void* object, int32_t done, int32_t total) {
  static_cast<Outcome*>(object)->progress.push_back({done, total});
}

void decode(const std::vector<uint8_t>& packed, int32_t size, int entries, bool step_by_step, Outcome& r) {
  Harness h;
  OnProgress = {record_progress, &r};
  unpack_step_by_step = step_by_step;
  for (int i = 0; i < entries; ++i) {
    h.unpack(packed, size, i > 0);
    r.bytes.insert(r.bytes.end(), h.out.bytes.begin(), h.out.bytes.end());
    r.writes.insert(r.writes.end(), h.out.writes.begin(), h.out.writes.end());
    r.requests.insert(r.requests.end(), h.in.requests.begin(), h.in.requests.end());
    r.checksums.push_back(entry_checksum);
    r.left.push_back(unpacked_left);
  }
  unpack_step_by_step = false;
  std::memcpy(&r.state, &unpack_state, sizeof r.state);
}

// The state fields that both ways must leave alike (the tables and buffers
// are the same by construction once the bytes agree).
bool same_state(const TUnpackState& a, const TUnpackState& b) {
  return a.input_pos == b.input_pos && a.input_bit == b.input_bit && a.input_top == b.input_top &&
         a.input_base == b.input_base && a.input_end == b.input_end && a.audio_mode == b.audio_mode &&
         a.channel_count == b.channel_count && a.current_channel == b.current_channel &&
         a.channel_delta == b.channel_delta && std::memcmp(a.channels, b.channels, sizeof a.channels) == 0 &&
         a.window_pos == b.window_pos && a.write_pos == b.write_pos && a.last_distance == b.last_distance &&
         a.last_length == b.last_length && std::memcmp(a.old_distances, b.old_distances, sizeof a.old_distances) == 0 &&
         a.old_distance_index == b.old_distance_index &&
         std::memcmp(a.previous_lengths, b.previous_lengths, sizeof a.previous_lengths) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  int32_t unpacked = int32_t(data[0] | data[1] << 8 | data[2] << 16);
  int entries = (data[3] & 1) ? 2 : 1;
  std::vector<uint8_t> packed(data + 4, data + size);

  static Outcome fast, plain;  // large: kept off the stack
  fast = Outcome();
  plain = Outcome();
  decode(packed, unpacked, entries, false, fast);
  decode(packed, unpacked, entries, true, plain);
  if (fast.bytes != plain.bytes || fast.writes != plain.writes || fast.requests != plain.requests ||
      fast.progress != plain.progress || fast.checksums != plain.checksums || fast.left != plain.left ||
      !same_state(fast.state, plain.state))
    std::abort();
  return 0;
}
