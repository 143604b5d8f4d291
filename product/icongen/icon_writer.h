// Icons of the product's programs, drawn by code in the 16 standard
// colours and written as .ico files (32x32 and 16x16, 4 bits per pixel).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum TIconKind {
  IconSaver,   // a screen with ribbons of light
  IconRemove,  // the same screen, struck out
};

// Builds the .ico image; false for an unknown kind.
bool build_icon(TIconKind kind, std::vector<uint8_t>& image);
