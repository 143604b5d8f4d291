// The version 2.0 archive container: finding the archive in archive_stream
// (at offset 0 or behind a self-extractor stub), the main header, and the walk
// over file headers. All state is module-level: one archive at a time.
#pragma once

#include <cstdint>
#include <string>

#include "archive/arc_format.h"

struct MainHeader {
  uint16_t head_crc;
  uint8_t head_type;
  uint16_t flags;
  uint16_t head_size;
  uint16_t reserved1;
  uint32_t reserved2;
};

struct FileHeader {
  uint16_t head_crc;
  uint8_t head_type;
  uint16_t flags;
  uint16_t head_size;
  uint32_t pack_size;
  uint32_t unp_size;
  uint8_t host_os;
  uint32_t file_crc;
  uint32_t file_time;
  uint8_t unp_ver;
  uint8_t method;
  uint16_t name_size;
  uint32_t attr;
};

struct BlockHeader {
  uint16_t head_crc;
  uint8_t head_type;
  uint16_t flags;
  uint16_t head_size;
  uint32_t data_size;  // pack_size of the block, when it has one
};

// Reader state.
extern uint8_t marker[7];
extern int arc_format;  // 0 none, 1 old format, 2 new format
extern MainHeader main_header;
extern int main_header_size;
extern bool solid;
extern FileHeader file_header;
extern std::string file_name;
extern BlockHeader block_header;
extern uint32_t header_crc;
extern int32_t block_start;
extern int32_t next_block;
extern uint8_t last_block_type;
extern uint8_t* search_buffer;  // held only during open_archive

// Finds the archive in archive_stream (open, at offset 0) and reads the
// first 13 bytes of its main header (7 for the old format).
bool open_archive();
// Reads the fixed part of a main (0x73) or file (0x74) header; returns the
// bytes the stream delivered.
int read_header(uint8_t type);
// Moves to the next block of the requested type (low byte; +0x8000 accepts a
// following sub-block) and reads it; 0 at the end or on error.
int32_t read_block(uint16_t request);
// Frees the search buffer if still held.
void release_search_buffer();
