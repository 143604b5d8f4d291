// The in-memory source and sink.

#include "pack/byte_stream.h"

#include <algorithm>
#include <cstring>

size_t MemorySource::read(uint8_t* data, size_t size) {
  size_t n = std::min(size, size_ - pos_);
  if (n) std::memcpy(data, data_ + pos_, n);
  pos_ += n;
  return n;
}

bool VectorSink::write(const uint8_t* data, size_t size) {
  if (out_.size() < pos_ + size) out_.resize(pos_ + size);
  if (size) std::memcpy(out_.data() + pos_, data, size);
  pos_ += size;
  return true;
}
