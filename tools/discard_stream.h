// An output stream that accepts every write and keeps nothing: lets the
// extraction driver decode and check entries without touching the disk
// (`vlarc t`, the fuzzer).
#pragma once

#include <cstdint>

#include "archive/archive_class.h"

class TDiscardStream : public TOutputStream {
 public:
  bool open(const char* path) override { return create(path); }
  bool create(const char* path) override {
    name = path;
    opened = true;
    written_ = 0;
    return true;
  }
  bool close() override {
    opened = false;
    return true;
  }
  int32_t write(const void*, int32_t count) override {
    if (!opened || count < 0) return 0;
    written_ += count;
    return count;
  }
  int32_t read(void*, int32_t) override { return 0; }
  uint32_t seek(int32_t, int32_t) override { return kSeekOk; }
  int32_t position() override { return static_cast<int32_t>(written_); }
  int32_t size() override { return static_cast<int32_t>(written_); }
  void set_times() override {}
  void erase() override {
    if (opened) close();
  }

 private:
  int64_t written_ = 0;
};
