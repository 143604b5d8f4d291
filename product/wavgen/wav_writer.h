// The Velmora chime: a short stereo 16-bit PCM sound of soft bell notes.
#pragma once

#include <cstdint>
#include <vector>

// Builds a complete RIFF/WAVE image of exactly file_size bytes (an even
// number of at least 1024). Returns false for a size it cannot make.
bool build_chime_wav(uint32_t file_size, std::vector<uint8_t>& image);
