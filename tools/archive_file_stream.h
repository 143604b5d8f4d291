// The archive as vlarc reads it: a read-only stream over one disk file that
// stands for the payload block "#101", read through a fixed buffer, so that
// listing, testing and extracting cost the same memory whatever the file's
// size.
#pragma once

#include <cstdint>
#include <string>

#include "archive/archive_class.h"

class TArchiveFileStream : public TAbstractStream {
 public:
  // The largest archive the reader's signed 32-bit offsets can address.
  static constexpr int64_t kMaxSize = 0x7FFFFFFF;
  static constexpr int32_t kBufferSize = 1 << 16;

  explicit TArchiveFileStream(const std::string& path) : path_(path) {}
  ~TArchiveFileStream() override;

  // Opens the file given to the constructor under the payload's name "#101"
  // (any other name finds nothing). Fails for a file larger than kMaxSize.
  bool open(const char* name) override;
  bool create(const char* name) override;  // not provided: abstract_call
  bool close() override;
  int32_t write(const void* buffer, int32_t count) override;  // not provided
  // Like the resource stream: up to the end, never past the length that the
  // file had when it was opened.
  int32_t read(void* buffer, int32_t count) override;
  // Origin 0, 1 or 2 (from the end, offset added); a target outside 0 to the
  // length is refused and the position kept.
  uint32_t seek(int32_t offset, int32_t origin) override;
  int32_t position() override { return pos_; }
  int32_t size() override { return length_; }

  // Why the last open failed, or that a read failed ("" when neither).
  const std::string& error() const { return error_; }
  // The file's size before opening it: -1 when it cannot be examined.
  static int64_t file_size(const std::string& path);

 private:
  bool fill();

  std::string path_;
  std::string error_;
  int fd_ = -1;
  int32_t length_ = 0;
  int32_t pos_ = 0;
  uint8_t* buffer_ = nullptr;  // kBufferSize bytes while open
  int32_t buffer_start_ = 0;   // file offset of buffer_[0]
  int32_t buffer_length_ = 0;  // valid bytes in buffer_
};
