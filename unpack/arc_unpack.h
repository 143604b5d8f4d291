// The decompressor for unpack version 20: bit input and canonical-Huffman
// tables, the LZ decoder with its 1 MiB window, the multimedia (audio)
// predictor, and the stored-entry copy. Reads archive_stream and writes
// output_stream through the per-entry state of the driver (arc_extract.h).
#pragma once

#include <cstdint>

// Entry points used by the driver.
// Zeroes the whole decoder state (tables included), as at process start: the
// driver calls it when a run allocates its window, so that an entry marked
// as continuing another, first in its run, finds nothing of an earlier run.
void reset_unpack_state();
void unpack_entry(uint8_t* window, bool solid);
void copy_stored_entry();

// Writes count bytes of output (unless test_only) and updates entry_checksum
// (unless skip_checksum); returns the bytes written.
int32_t write_unpacked(const uint8_t* buffer, int32_t count);
// Reads up to count packed bytes of the current entry; 0 at its end.
int32_t read_packed(uint8_t* buffer, int32_t count);
