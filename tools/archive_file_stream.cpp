#include "tools/archive_file_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#define file_open _open
#define file_close _close
#define file_read _read
#define file_seek _lseeki64
#define file_fstat _fstati64
#define file_stat _stati64
typedef struct _stati64 file_stat_t;
#ifndef O_NONBLOCK
#define O_NONBLOCK 0
#endif
#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif
#else
#include <unistd.h>
#define file_open ::open
#define file_close ::close
#define file_read ::read
#define file_seek ::lseek
#define file_fstat ::fstat
#define file_stat ::stat
typedef struct stat file_stat_t;
#endif

#ifndef O_BINARY
#define O_BINARY 0
#endif

TArchiveFileStream::~TArchiveFileStream() { close(); }

int64_t TArchiveFileStream::file_size(const std::string& path) {
  file_stat_t st;
  if (file_stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool TArchiveFileStream::open(const char* name) {
  if (opened) {
    // The same name only rewinds, as the resource stream does.
    if (name && this->name == name) {
      pos_ = 0;
      return true;
    }
    close();
  }
  error_.clear();
  if (name == nullptr || std::strcmp(name, "#101") != 0) return false;
  // Not blocking: a FIFO given as the archive is refused below instead of
  // waiting for a writer.
  fd_ = file_open(path_.c_str(), O_RDONLY | O_BINARY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    error_ = std::strerror(errno);
    return false;
  }
  file_stat_t st;
  if (file_fstat(fd_, &st) != 0) {
    error_ = std::strerror(errno);
  } else if ((st.st_mode & S_IFMT) != S_IFREG) {
    error_ = "not a regular file";
  } else if (static_cast<int64_t>(st.st_size) > kMaxSize) {
    error_ = "too large for an archive (over 2 GiB)";
  } else {
    buffer_ = static_cast<uint8_t*>(std::malloc(kBufferSize));
    if (!buffer_) error_ = "out of memory";
  }
  if (!error_.empty()) {
    close();
    return false;
  }
  length_ = static_cast<int32_t>(st.st_size);
  pos_ = 0;
  buffer_start_ = 0;
  buffer_length_ = 0;
  opened = true;
  this->name = name;
  return true;
}

bool TArchiveFileStream::create(const char*) { abstract_call("TArchiveFileStream::create"); }

bool TArchiveFileStream::close() {
  bool ok = true;
  if (fd_ >= 0) ok = file_close(fd_) == 0;
  fd_ = -1;
  std::free(buffer_);
  buffer_ = nullptr;
  buffer_length_ = 0;
  length_ = 0;
  pos_ = 0;
  opened = false;
  return ok;
}

int32_t TArchiveFileStream::write(const void*, int32_t) { abstract_call("TArchiveFileStream::write"); }

// Loads the buffer from pos_ on; false at the end or on a read error.
bool TArchiveFileStream::fill() {
  buffer_start_ = pos_;
  buffer_length_ = 0;
  if (fd_ < 0 || pos_ >= length_) return false;
  if (file_seek(fd_, pos_, SEEK_SET) < 0) {
    error_ = std::strerror(errno);
    return false;
  }
  const int32_t want = length_ - pos_ < kBufferSize ? length_ - pos_ : kBufferSize;
  while (buffer_length_ < want) {
    const auto n = file_read(fd_, buffer_ + buffer_length_, static_cast<unsigned>(want - buffer_length_));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error_ = std::strerror(errno);
    if (n <= 0) break;  // an error, or the file shrank since it was opened
    buffer_length_ += static_cast<int32_t>(n);
  }
  return buffer_length_ > 0;
}

int32_t TArchiveFileStream::read(void* buffer, int32_t count) {
  uint8_t* out = static_cast<uint8_t*>(buffer);
  int32_t done = 0;
  while (done < count && pos_ < length_) {
    if (pos_ < buffer_start_ || pos_ >= buffer_start_ + buffer_length_) {
      if (!fill()) break;
    }
    const int32_t at = pos_ - buffer_start_;
    int32_t n = buffer_length_ - at;
    if (n > count - done) n = count - done;
    std::memcpy(out + done, buffer_ + at, static_cast<size_t>(n));
    done += n;
    pos_ += n;
  }
  return done;
}

uint32_t TArchiveFileStream::seek(int32_t offset, int32_t origin) {
  // The same rules as a block in memory: the buffer is refilled on demand.
  return seek_memory_block(length_, pos_, offset, origin);
}
