// Fuzz target: arbitrary bytes as the payload archive, run through the whole
// extraction driver (reader, stored copy, decoder) into an output stream that
// drops what it is given. Every run must end, stay inside its buffers and
// give back what it allocated.

#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/arc_checksum.h"
#include "archive/arc_extract.h"
#include "archive/archive_class.h"
#include "tools/discard_stream.h"

namespace {

void fixed_target(void*, const std::string&, std::string& target) { target = "fuzz.out"; }
void ignore_text(void*, const std::string&) {}
void ignore_progress(void*, int32_t, int32_t) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool table_ready = (init_crc_table(), true);
  (void)table_ready;
  if (size > 0x7FFFFFFF) return 0;

  TMyMemoryStream::register_block("#101", data, static_cast<int32_t>(size));
  TMyMemoryStream input;
  TDiscardStream output;
  archive_stream = &input;
  output_stream = &output;
  OnGetTargetPath = {fixed_target, nullptr};
  OnProgress = {ignore_progress, nullptr};
  OnMessage = {ignore_text, nullptr};
  OnErrorMessage = {ignore_text, nullptr};
  extract_result = 0;

  extract_archive();

  OnGetTargetPath = {};
  OnProgress = {};
  OnMessage = {};
  OnErrorMessage = {};
  input.close();
  output.close();
  archive_stream = nullptr;
  output_stream = nullptr;
  release_buffers();
  TMyMemoryStream::unregister_block("#101");
  return 0;
}
