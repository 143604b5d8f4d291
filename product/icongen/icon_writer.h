// Icons of the product's programs, drawn by code in the 16 standard
// colours and written as .ico files: 32x32 and 16x16 with 4 bits per pixel
// for old displays, then the same picture smoothed in 32-bit colour with
// alpha at 16, 20, 24, 32, 48 and 256 pixels, PNG-compressed (a fifth to a
// half of the plain bitmaps' bytes; every Windows since Vista reads PNG icon
// images of any size).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum TIconKind {
  IconSaver,   // a screen with ribbons of light
  IconRemove,  // the same screen, struck out
};

// Sizes of the 32-bit images, in the order they are written after the two
// 16-colour ones.
constexpr int kAlphaSizes[] = {16, 20, 24, 32, 48, 256};

// Builds the .ico image; false for an unknown kind.
bool build_icon(TIconKind kind, std::vector<uint8_t>& image);
