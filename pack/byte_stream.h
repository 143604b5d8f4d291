// Where the packer reads an entry's bytes from and writes the archive to:
// files on disk for vlarc, memory for the tests and the benchmarks. The
// encoder reads and writes in pieces, so that its memory does not grow with
// the entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Up to size bytes; fewer only at the end of the data or on an error.
  virtual size_t read(uint8_t* data, size_t size) = 0;
  // Back to the first byte (to store an entry that did not compress).
  virtual bool rewind() = 0;
};

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual bool write(const uint8_t* data, size_t size) = 0;
  // Where the next write goes, and moving it (to fill in a header whose
  // sizes are known only after its data).
  virtual uint64_t position() const = 0;
  virtual bool seek(uint64_t position) = 0;
  // Drops everything after the position (what an abandoned attempt left).
  virtual bool truncate() = 0;
};

class MemorySource : public ByteSource {
 public:
  MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  size_t read(uint8_t* data, size_t size) override;
  bool rewind() override {
    pos_ = 0;
    return true;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Writes into a vector, which grows as needed.
class VectorSink : public ByteSink {
 public:
  explicit VectorSink(std::vector<uint8_t>& out) : out_(out), pos_(out.size()) {}
  bool write(const uint8_t* data, size_t size) override;
  uint64_t position() const override { return pos_; }
  bool seek(uint64_t position) override {
    pos_ = static_cast<size_t>(position);
    return true;
  }
  bool truncate() override {
    out_.resize(pos_);
    return true;
  }

 private:
  std::vector<uint8_t>& out_;
  size_t pos_;
};
