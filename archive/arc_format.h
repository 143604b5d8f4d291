// Facts of the version 2.0 archive format and of its compressed data (unpack
// version 20) that more than one side needs: the reader and the decoder, the
// packer, and the archive tool. Each is written here once.
#pragma once

#include <cstdint>

// ---------------------------------------------------------------------------
// Container.

// The marker block. Byte 0 may also be the lower-case 0x72.
inline constexpr uint8_t kMarker[7] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
constexpr uint8_t kMarkerLowerFirst = 0x72;
constexpr int kMarkerSize = 7;
// The old format's main header starts with "RE~^".
inline constexpr uint8_t kOldMark[4] = {0x52, 0x45, 0x7E, 0x5E};
// An old-format self-extractor carries "RSFX" at this offset of its stub.
inline constexpr uint8_t kOldSfxSignature[4] = {0x52, 0x53, 0x46, 0x58};
constexpr int32_t kOldSfxSignatureOffset = 28;

// Block types.
enum : uint8_t {
  MAIN_HEAD = 0x73,
  FILE_HEAD = 0x74,
  COMM_HEAD = 0x75,
  SUB_HEAD = 0x77,
};

// Block and header flags.
constexpr uint16_t LONG_BLOCK = 0x8000;   // a 32-bit data size follows the base header
constexpr uint16_t MHD_SOLID = 0x0008;    // main header: solid archive
constexpr uint16_t LHD_SPLIT_BEFORE = 0x0001;
constexpr uint16_t LHD_SPLIT_AFTER = 0x0002;
constexpr uint16_t LHD_PASSWORD = 0x0004;
constexpr uint16_t LHD_SOLID = 0x0010;
constexpr uint16_t LHD_WINDOW_1M = 0x0080;  // dictionary bits of the 1 MiB window

constexpr int kMainHeaderSize = 13;      // new format
constexpr int kOldMainHeaderSize = 7;    // old format
constexpr int kFileHeaderSize = 32;      // fixed part, before the name

// The self-extractor scan: a buffer of this size, of which the scan reads
// all but a spare tail of 16 bytes after the first 7 of the stream.
constexpr int kSfxSearchSize = 131072;
constexpr int32_t kSfxScanBytes = kSfxSearchSize - 16;

// Methods: stored, and the compressed ones up to best.
constexpr uint8_t kMethodStored = 0x30;
constexpr uint8_t kMethodBest = 0x35;

// Unpack versions (times ten) a reader accepts at all, and the first one with
// a decoder here (compressed data of 1.3 to 1.5 has none). The packer writes
// kMaxUnpVer.
constexpr uint8_t kMinUnpVer = 13;
constexpr uint8_t kMaxUnpVer = 20;
constexpr uint8_t kMinDecodableVer = 16;

// Host OS byte the packer writes: Windows-style attributes.
constexpr uint8_t kHostWindows = 2;

// Attribute bits.
constexpr uint32_t kAttrVolumeLabel = 0x08;
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uint32_t kAttrArchive = 0x20;

// ---------------------------------------------------------------------------
// Compressed data.

// The LZ window (the driver's window_buffer).
constexpr uint32_t kWindowSize = 1u << 20;

// Alphabet sizes.
constexpr uint32_t kMainSymbols = 298;      // literals, 256-269 control, 270-297 lengths
constexpr uint32_t kDistanceSymbols = 48;
constexpr uint32_t kRepeatSymbols = 28;
constexpr uint32_t kCodeLengthSymbols = 19;
constexpr uint32_t kAudioSymbols = 257;     // deltas 0-255, 256 = table block
constexpr uint32_t kLzLengths = kMainSymbols + kDistanceSymbols + kRepeatSymbols;  // 374
constexpr uint32_t kMaxChannels = 4;
constexpr uint32_t kMaxLengths = kAudioSymbols * kMaxChannels;                   // 1028

// Length slots (main symbols 270-297 and the repeat-length alphabet): base
// and extra bits.
inline constexpr uint8_t kLengthBase[28] = {0,  1,  2,  3,  4,  5,  6,   7,   8,   10,  12,  14,  16,  20,
                                            24, 28, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224};
inline constexpr uint8_t kLengthBits[28] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2,
                                            2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5};

// Distance slots: base and extra bits. Pairs of slots share a bit count up to
// slot 33; from slot 34 every slot has 16 extra bits and the bases advance by
// 65536 (the last, 983040, reaches the whole window). A distance is
// base + 1 + extra bits.
inline constexpr uint32_t kDistanceBase[48] = {
    0,      1,      2,      3,      4,      6,      8,      12,     16,     24,     32,     48,
    64,     96,     128,    192,    256,    384,    512,    768,    1024,   1536,   2048,   3072,
    4096,   6144,   8192,   12288,  16384,  24576,  32768,  49152,  65536,  98304,  131072, 196608,
    262144, 327680, 393216, 458752, 524288, 589824, 655360, 720896, 786432, 851968, 917504, 983040};
inline constexpr uint8_t kDistanceBits[48] = {0,  0,  0,  0,  1,  1,  2,  2,  3,  3,  4,  4,
                                              5,  5,  6,  6,  7,  7,  8,  8,  9,  9,  10, 10,
                                              11, 11, 12, 12, 13, 13, 14, 14, 15, 15, 16, 16,
                                              16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16};

// Copies far back are longer by construction: a new copy's coded length
// gains 1 at distance 0x2000 or more and another at 0x40000 or more; an
// old-distance copy's gains 1 each at 0x101, 0x2000 and 0x40000 or more.
constexpr uint32_t new_copy_bonus(uint32_t distance) { return (distance >= 0x2000) + (distance >= 0x40000); }
constexpr uint32_t old_copy_bonus(uint32_t distance) { return (distance >= 0x101) + new_copy_bonus(distance); }

// Short-distance slots of symbols 261-268 (copies of length 2).
inline constexpr uint8_t kShortBase[8] = {0, 4, 8, 16, 32, 64, 128, 192};
inline constexpr uint8_t kShortBits[8] = {2, 2, 3, 4, 5, 6, 6, 6};

// Extra bits of the code-length symbols (16: repeat, 17 and 18: zero runs).
inline constexpr uint8_t kCodeLengthExtra[19] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};
