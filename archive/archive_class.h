// Byte streams of the archive code: the abstract stream, the streams over the
// program's archive resource and over disk files, and the two module-level
// references through which the reader, the driver and the decompressor reach
// them.
#pragma once

#include <cstdint>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

// Seek status values (HRESULT-style; the same numbers as the Win32 constants).
constexpr uint32_t kSeekOk = 0;
constexpr uint32_t kSeekInvalidFunction = 0x80030001u;  // STG_E_INVALIDFUNCTION
constexpr uint32_t kSeekInvalidPointer = 0x80030009u;   // STG_E_INVALIDPOINTER

#include "install/install_contract.h"  // kReleaseDosDate, kReleaseDosTime

// The eight operations are declared in their fixed slot order; the destructor
// comes after them so that they occupy the first eight table slots.
class TAbstractStream {
 public:
  TAbstractStream() = default;
  TAbstractStream(const TAbstractStream&) = delete;
  TAbstractStream& operator=(const TAbstractStream&) = delete;

  virtual bool open(const char* name) = 0;                   // slot 0
  virtual bool create(const char* name) = 0;                 // slot 1
  virtual bool close() = 0;                                  // slot 2
  virtual int32_t write(const void* buffer, int32_t count) = 0;  // slot 3
  virtual int32_t read(void* buffer, int32_t count) = 0;     // slot 4
  virtual uint32_t seek(int32_t offset, int32_t origin) = 0; // slot 5
  virtual int32_t position() = 0;                            // slot 6
  virtual int32_t size() = 0;                                // slot 7
  virtual ~TAbstractStream() = default;

  std::string name;     // name of the last successful open/create
  bool opened = false;  // from a successful open/create until close
};

// Called by an operation a stream class does not provide: a programming error.
[[noreturn]] void abstract_call(const char* what);

// A stream the driver writes extracted files to: a file stream of either
// kind. Stamping and erasing come after the eight slots.
class TOutputStream : public TAbstractStream {
 public:
  virtual void set_times() = 0;  // creation = now, access and write = release time
  virtual void erase() = 0;      // nothing while name is empty; else close and delete
};

// The archive input and the extraction output, set up by whoever runs the
// driver (the file worker in the setup, the archive tool on the host).
extern TAbstractStream* archive_stream;
extern TOutputStream* output_stream;

// Reading and seeking over a whole block held in memory, for the streams
// that serve one (the memory stream and the resource stream). A read copies
// at most up to the end. A seek goes from the start (origin 0), the current
// position (1) or the end (2); any other origin is kSeekInvalidFunction. The
// end itself is a valid position; a target before the start or beyond the
// end is kSeekInvalidPointer and leaves the position as it was.
int32_t read_memory_block(const uint8_t* data, int32_t length, int32_t& pos, void* buffer,
                          int32_t count);
uint32_t seek_memory_block(int32_t length, int32_t& pos, int32_t offset, int32_t origin);

// ---------------------------------------------------------------------------
// Portable streams (every build): the host tools, the tests and the fuzzer.

// A read-only stream over named blocks of memory: what the resource stream is
// where executables carry no resources. Blocks are registered under a name
// ("#101" for the payload) and are not copied.
class TMyMemoryStream : public TAbstractStream {
 public:
  static void register_block(const std::string& name, const void* data, int32_t length);
  static void unregister_block(const std::string& name);

  bool open(const char* name) override;
  bool create(const char* name) override;  // not provided: abstract_call
  bool close() override;
  int32_t write(const void* buffer, int32_t count) override;  // not provided
  int32_t read(void* buffer, int32_t count) override;
  uint32_t seek(int32_t offset, int32_t origin) override;
  int32_t position() override;
  int32_t size() override;

 private:
  int32_t pos_ = 0;
  const uint8_t* data_ = nullptr;
  int32_t length_ = 0;
};

// The release time as seconds since 1970, from the machine's local time
// zone; -1 when it cannot be converted.
int64_t release_unix_time();

// A disk file over the C runtime's POSIX-style calls, with the semantics of
// the Win32 file stream; set_times gives it the release time.
class TPosixFileStream : public TOutputStream {
 public:
  ~TPosixFileStream() override;
  bool open(const char* name) override;
  bool create(const char* name) override;
  bool close() override;
  int32_t write(const void* buffer, int32_t count) override;
  int32_t read(void* buffer, int32_t count) override;
  uint32_t seek(int32_t offset, int32_t origin) override;
  int32_t position() override;
  int32_t size() override;
  void set_times() override;
  void erase() override;

 private:
  int fd_ = -1;
};

#ifdef _WIN32
// ---------------------------------------------------------------------------
// Win32 streams (Windows builds): the setup's archive resource and its output.

class TMyResourceStream : public TAbstractStream {
 public:
  ~TMyResourceStream() override;
  bool open(const char* name) override;  // "#101" selects numeric id 101 of type "ARC"
  bool create(const char* name) override;  // not provided: abstract_call
  bool close() override;
  int32_t write(const void* buffer, int32_t count) override;  // not provided
  int32_t read(void* buffer, int32_t count) override;
  uint32_t seek(int32_t offset, int32_t origin) override;
  int32_t position() override;
  int32_t size() override;

 private:
  int32_t pos_ = 0;
  const uint8_t* data_ = nullptr;
  HGLOBAL handle_ = nullptr;
  int32_t length_ = 0;
};

class TMyFileStream : public TOutputStream {
 public:
  ~TMyFileStream() override;
  bool open(const char* name) override;
  bool create(const char* name) override;
  bool close() override;
  int32_t write(const void* buffer, int32_t count) override;
  int32_t read(void* buffer, int32_t count) override;
  uint32_t seek(int32_t offset, int32_t origin) override;
  int32_t position() override;
  int32_t size() override;
  void set_times() override;
  void erase() override;

 private:
  HANDLE file_ = INVALID_HANDLE_VALUE;
};

// ReleaseTimestamp as a UTC FILETIME (DOS date/time through local time).
FILETIME ReleaseTimestamp();
// Creation time = now (UTC), last access and last write = ReleaseTimestamp.
bool StampInstalledFile(HANDLE file);
#endif
