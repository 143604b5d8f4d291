// The portable streams: named memory blocks in place of the archive resource,
// and a disk file over the C runtime's POSIX-style calls. The host tools, the
// tests and the fuzzer use them; they compile in every build.
#include "archive/archive_class.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <cstring>
#include <ctime>
#include <map>

#ifdef _WIN32
#include <io.h>
#include <sys/utime.h>
#define posix_open _open
#define posix_close _close
#define posix_read _read
#define posix_write _write
#define posix_lseek _lseek
#define posix_unlink _unlink
#define posix_fstat _fstat
typedef struct _stat posix_stat_t;
constexpr int kCreateMode = _S_IREAD | _S_IWRITE;
#else
#include <unistd.h>
#define posix_open ::open
#define posix_close ::close
#define posix_read ::read
#define posix_write ::write
#define posix_lseek ::lseek
#define posix_unlink ::unlink
#define posix_fstat ::fstat
typedef struct stat posix_stat_t;
constexpr int kCreateMode = 0666;
#endif

#ifndef O_BINARY
#define O_BINARY 0
#endif

// ---------------------------------------------------------------------------
// TMyMemoryStream

namespace {

struct MemoryBlock {
  const uint8_t* data;
  int32_t length;
};

// The registered blocks by name. A function-level static, so that blocks may
// be registered from other static initialisers.
std::map<std::string, MemoryBlock>& memory_blocks() {
  static std::map<std::string, MemoryBlock> blocks;
  return blocks;
}

}  // namespace

void TMyMemoryStream::register_block(const std::string& name, const void* data, int32_t length) {
  memory_blocks()[name] = MemoryBlock{static_cast<const uint8_t*>(data), length < 0 ? 0 : length};
}

void TMyMemoryStream::unregister_block(const std::string& name) { memory_blocks().erase(name); }

bool TMyMemoryStream::open(const char* name) {
  if (name == nullptr) return false;
  // Another name releases the block held so far, even when the new one turns
  // out to be missing: the stream is then closed and empty.
  if (opened && this->name != name) close();
  // The same name only rewinds.
  if (opened) {
    pos_ = 0;
    return true;
  }
  auto found = memory_blocks().find(name);
  if (found == memory_blocks().end()) return false;
  data_ = found->second.data;
  length_ = found->second.length;
  pos_ = 0;
  opened = true;
  this->name = name;
  return true;
}

bool TMyMemoryStream::create(const char*) { abstract_call("TMyMemoryStream::create"); }

bool TMyMemoryStream::close() {
  // Forget the block entirely, so that a read after close finds nothing
  // rather than bytes the stream no longer holds.
  data_ = nullptr;
  length_ = 0;
  pos_ = 0;
  opened = false;
  return true;
}

int32_t TMyMemoryStream::write(const void*, int32_t) { abstract_call("TMyMemoryStream::write"); }

int32_t TMyMemoryStream::read(void* buffer, int32_t count) {
  return read_memory_block(data_, length_, pos_, buffer, count);
}

uint32_t TMyMemoryStream::seek(int32_t offset, int32_t origin) {
  return seek_memory_block(length_, pos_, offset, origin);
}

int32_t TMyMemoryStream::position() { return pos_; }

int32_t TMyMemoryStream::size() { return length_; }

// ---------------------------------------------------------------------------
// TPosixFileStream

TPosixFileStream::~TPosixFileStream() {
  if (opened) close();
}

bool TPosixFileStream::open(const char* name) {
  // A stream holds one file: a second open does not leak the first.
  if (fd_ >= 0) close();
  if (name == nullptr) return false;
  fd_ = posix_open(name, O_RDWR | O_BINARY);
  opened = fd_ >= 0;
  if (opened) this->name = name;
  return opened;
}

bool TPosixFileStream::create(const char* name) {
  if (fd_ >= 0) close();
  if (name == nullptr) return false;
  fd_ = posix_open(name, O_RDWR | O_CREAT | O_TRUNC | O_BINARY, kCreateMode);
  opened = fd_ >= 0;
  if (opened) this->name = name;
  return opened;
}

bool TPosixFileStream::close() {
  bool ok = true;
  if (opened && fd_ >= 0) ok = posix_close(fd_) == 0;
  fd_ = -1;
  opened = false;
  return ok;
}

int32_t TPosixFileStream::write(const void* buffer, int32_t count) {
  if (!opened || count <= 0) return 0;
  // All or nothing: a partial write counts as a failure.
  const char* p = static_cast<const char*>(buffer);
  int32_t done = 0;
  while (done < count) {
    const auto n = posix_write(fd_, p + done, unsigned(count - done));
    if (n <= 0) return 0;
    done += int32_t(n);
  }
  return count;
}

int32_t TPosixFileStream::read(void* buffer, int32_t count) {
  if (fd_ < 0 || count <= 0) return 0;
  char* p = static_cast<char*>(buffer);
  int32_t done = 0;
  while (done < count) {
    const auto n = posix_read(fd_, p + done, unsigned(count - done));
    if (n <= 0) break;  // end of file, or an error after what was read
    done += int32_t(n);
  }
  return done;
}

uint32_t TPosixFileStream::seek(int32_t offset, int32_t origin) {
  int whence;
  switch (origin) {
    case 0: whence = SEEK_SET; break;
    case 1: whence = SEEK_CUR; break;
    // From the end the offset is not added: the stream moves to the end.
    case 2: whence = SEEK_END; offset = 0; break;
    default: return kSeekInvalidFunction;
  }
  if (fd_ < 0) return kSeekInvalidPointer;
  return posix_lseek(fd_, offset, whence) < 0 ? kSeekInvalidPointer : kSeekOk;
}

int32_t TPosixFileStream::position() {
  if (fd_ < 0) return 0;
  const auto pos = posix_lseek(fd_, 0, SEEK_CUR);
  return pos < 0 ? 0 : int32_t(pos);
}

int32_t TPosixFileStream::size() {
  if (fd_ < 0) return 0;
  posix_stat_t st;
  if (posix_fstat(fd_, &st) != 0) return 0;
  return int32_t(st.st_size);
}

int64_t release_unix_time() {
  // The release date and time, unpacked from their DOS form.
  std::tm release{};
  release.tm_year = 1980 - 1900 + (kReleaseDosDate >> 9);
  release.tm_mon = ((kReleaseDosDate >> 5) & 0x0F) - 1;
  release.tm_mday = kReleaseDosDate & 0x1F;
  release.tm_hour = kReleaseDosTime >> 11;
  release.tm_min = (kReleaseDosTime >> 5) & 0x3F;
  release.tm_sec = (kReleaseDosTime & 0x1F) * 2;
  release.tm_isdst = -1;
  const std::time_t when = std::mktime(&release);
  return when == std::time_t(-1) ? -1 : static_cast<int64_t>(when);
}

void TPosixFileStream::set_times() {
  if (!opened) return;
  const int64_t when = release_unix_time();
  if (when < 0) return;
#ifdef _WIN32
  struct _utimbuf times;
  times.actime = static_cast<time_t>(when);
  times.modtime = static_cast<time_t>(when);
  _futime(fd_, &times);
#else
  struct timespec times[2];
  times[0].tv_sec = static_cast<time_t>(when);
  times[0].tv_nsec = 0;
  times[1] = times[0];
  futimens(fd_, times);
#endif
}

void TPosixFileStream::erase() {
  if (name.empty()) return;
  if (opened) close();
  posix_unlink(name.c_str());
}
