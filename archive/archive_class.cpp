// The stream references shared by the archive code, and the Win32 streams of
// the setup: the archive resource of the program's own module and the disk
// files it extracts to.
#include "archive/archive_class.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

TAbstractStream* archive_stream = nullptr;
TOutputStream* output_stream = nullptr;

void abstract_call(const char* what) {
  // Plain writes: a formatted print would link the C runtime's whole
  // formatter into the setup for this one message.
  std::fputs("abstract stream operation called: ", stderr);
  std::fputs(what, stderr);
  std::fputc('\n', stderr);
  std::abort();
}

// ---------------------------------------------------------------------------
// Blocks in memory: the resource stream on Windows, the memory stream of the
// portable streams. Here rather than beside the memory stream, so that the
// setup does not link that stream's registry of named blocks.

int32_t read_memory_block(const uint8_t* data, int32_t length, int32_t& pos, void* buffer,
                          int32_t count) {
  if (count <= 0 || pos >= length) return 0;
  const int32_t n = count < length - pos ? count : length - pos;
  std::memcpy(buffer, data + pos, size_t(n));
  pos += n;
  return n;
}

uint32_t seek_memory_block(int32_t length, int32_t& pos, int32_t offset, int32_t origin) {
  // In 64 bits, so that no offset can overflow.
  int64_t target;
  switch (origin) {
    case 0: target = offset; break;
    case 1: target = int64_t(pos) + offset; break;
    case 2: target = int64_t(length) + offset; break;
    default: return kSeekInvalidFunction;
  }
  if (target < 0 || target > length) return kSeekInvalidPointer;
  pos = int32_t(target);
  return kSeekOk;
}

#ifdef _WIN32

// ---------------------------------------------------------------------------
// TMyResourceStream: reads straight out of the locked resource memory; the
// archive is never copied as a whole.

namespace {

// "#101" names the numeric resource 101; anything else is a resource name.
LPCSTR resource_id(const char* name) {
  if (name[0] != '#' || name[1] == '\0') return name;
  unsigned long id = 0;
  for (const char* p = name + 1; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return name;
    id = id * 10 + unsigned(*p - '0');
    if (id > 0xFFFF) return name;
  }
  return MAKEINTRESOURCEA(id);
}

}  // namespace

TMyResourceStream::~TMyResourceStream() {
  if (handle_ != nullptr) FreeResource(handle_);
}

bool TMyResourceStream::open(const char* name) {
  if (name == nullptr) return false;
  // Another name: release the resource held so far. Everything that pointed
  // into it is dropped too, so that neither a later read nor the destructor
  // touches the released resource.
  if (opened && this->name != name) {
    if (handle_ != nullptr) FreeResource(handle_);
    handle_ = nullptr;
    data_ = nullptr;
    length_ = 0;
    pos_ = 0;
    opened = false;
  }
  // The same name: only rewind; the resource is not loaded again.
  if (opened) {
    pos_ = 0;
    return true;
  }
  HMODULE module = GetModuleHandleA(nullptr);
  HRSRC info = FindResourceA(module, resource_id(name), "ARC");
  if (info == nullptr) return false;
  const DWORD length = SizeofResource(module, info);
  HGLOBAL handle = LoadResource(module, info);
  if (handle == nullptr) return false;
  const void* data = LockResource(handle);
  if (data == nullptr) {
    FreeResource(handle);
    return false;
  }
  handle_ = handle;
  data_ = static_cast<const uint8_t*>(data);
  length_ = length > 0x7FFFFFFFu ? 0x7FFFFFFF : int32_t(length);
  pos_ = 0;
  opened = true;
  this->name = name;
  return true;
}

bool TMyResourceStream::create(const char*) { abstract_call("TMyResourceStream::create"); }

bool TMyResourceStream::close() {
  if (opened && data_ != nullptr) {
    FreeResource(handle_);
    handle_ = nullptr;
    data_ = nullptr;
    length_ = 0;
  }
  pos_ = 0;
  opened = false;
  return true;
}

int32_t TMyResourceStream::write(const void*, int32_t) { abstract_call("TMyResourceStream::write"); }

int32_t TMyResourceStream::read(void* buffer, int32_t count) {
  return read_memory_block(data_, length_, pos_, buffer, count);
}

uint32_t TMyResourceStream::seek(int32_t offset, int32_t origin) {
  return seek_memory_block(length_, pos_, offset, origin);
}

int32_t TMyResourceStream::position() { return pos_; }

int32_t TMyResourceStream::size() { return length_; }

// ---------------------------------------------------------------------------
// TMyFileStream

FILETIME ReleaseTimestamp() {
  FILETIME local = {0, 0};
  FILETIME utc = {0, 0};
  DosDateTimeToFileTime(kReleaseDosDate, kReleaseDosTime, &local);
  LocalFileTimeToFileTime(&local, &utc);
  return utc;
}

bool StampInstalledFile(HANDLE file) {
  SYSTEMTIME now_system;
  FILETIME now;
  GetSystemTime(&now_system);
  SystemTimeToFileTime(&now_system, &now);
  const FILETIME release = ReleaseTimestamp();
  return SetFileTime(file, &now, &release, &release) != FALSE;
}

TMyFileStream::~TMyFileStream() {
  if (opened) close();
}

namespace {

HANDLE open_file(const char* name, DWORD disposition) {
  return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

bool TMyFileStream::open(const char* name) {
  // A stream holds one file: a second open does not leak the first handle.
  if (file_ != INVALID_HANDLE_VALUE) close();
  if (name == nullptr) return false;
  file_ = open_file(name, OPEN_EXISTING);
  opened = file_ != INVALID_HANDLE_VALUE;
  if (opened) this->name = name;
  return opened;
}

bool TMyFileStream::create(const char* name) {
  if (file_ != INVALID_HANDLE_VALUE) close();
  if (name == nullptr) return false;
  file_ = open_file(name, CREATE_ALWAYS);
  opened = file_ != INVALID_HANDLE_VALUE;
  if (opened) this->name = name;
  return opened;
}

bool TMyFileStream::close() {
  bool ok = true;
  if (opened && file_ != INVALID_HANDLE_VALUE) ok = CloseHandle(file_) != FALSE;
  file_ = INVALID_HANDLE_VALUE;
  opened = false;
  return ok;
}

int32_t TMyFileStream::write(const void* buffer, int32_t count) {
  if (!opened || count <= 0) return 0;
  DWORD written = 0;
  if (!WriteFile(file_, buffer, DWORD(count), &written, nullptr)) return 0;
  return written == DWORD(count) ? count : 0;
}

int32_t TMyFileStream::read(void* buffer, int32_t count) {
  if (file_ == INVALID_HANDLE_VALUE || count <= 0) return 0;
  DWORD got = 0;
  if (!ReadFile(file_, buffer, DWORD(count), &got, nullptr)) return 0;
  return int32_t(got);
}

uint32_t TMyFileStream::seek(int32_t offset, int32_t origin) {
  LARGE_INTEGER distance;
  DWORD method;
  switch (origin) {
    case 0: method = FILE_BEGIN; distance.QuadPart = offset; break;
    case 1: method = FILE_CURRENT; distance.QuadPart = offset; break;
    // From the end the offset is not added: the stream moves to the end.
    case 2: method = FILE_END; distance.QuadPart = 0; break;
    default: return kSeekInvalidFunction;
  }
  if (file_ == INVALID_HANDLE_VALUE) return kSeekInvalidPointer;
  return SetFilePointerEx(file_, distance, nullptr, method) ? kSeekOk : kSeekInvalidPointer;
}

int32_t TMyFileStream::position() {
  if (file_ == INVALID_HANDLE_VALUE) return 0;
  LARGE_INTEGER zero;
  LARGE_INTEGER now;
  zero.QuadPart = 0;
  if (!SetFilePointerEx(file_, zero, &now, FILE_CURRENT)) return 0;
  return int32_t(now.QuadPart);
}

int32_t TMyFileStream::size() {
  if (file_ == INVALID_HANDLE_VALUE) return 0;
  LARGE_INTEGER length;
  if (!GetFileSizeEx(file_, &length)) return 0;
  return int32_t(length.QuadPart);
}

void TMyFileStream::set_times() {
  if (opened) StampInstalledFile(file_);
}

void TMyFileStream::erase() {
  if (name.empty()) return;
  if (opened) close();
  DeleteFileA(name.c_str());
}

#endif  // _WIN32
