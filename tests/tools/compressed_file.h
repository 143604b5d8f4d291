// Test helper of the driver and tool tests: an archive entry compressed by
// the packer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/archive_builder.h"
#include "pack/archive_writer.h"

namespace tooltest {

// A compressed entry (level 5) of a fresh, non-solid decoder state.
inline arctest::FileSpec compressed_file(const std::string& name, const std::vector<uint8_t>& content) {
  TPackState state;
  pack_state_reset(state);
  std::vector<uint8_t> packed;
  pack_entry(state, content.data(), content.size(), false, 5, packed);
  return arctest::packed_file(name, packed, content);
}

}  // namespace tooltest
