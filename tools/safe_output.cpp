#include "tools/safe_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

std::string joined(const std::vector<std::string>& parts, size_t count) {
  std::string out;
  for (size_t i = 0; i < count && i < parts.size(); ++i) {
    if (i) out += '/';
    out += parts[i];
  }
  return out;
}

#ifdef _WIN32
std::string system_error_text(DWORD code) {
  char buf[256] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buf,
                           sizeof buf, nullptr);
  while (n > 0 && (buf[n - 1] == '\r' || buf[n - 1] == '\n' || buf[n - 1] == ' ' || buf[n - 1] == '.')) --n;
  if (n == 0) return "error " + std::to_string(code);
  return std::string(buf, n);
}
#endif

}  // namespace

TSafeOutput::~TSafeOutput() {
  discard();
#ifdef _WIN32
  root_.clear();
#else
  if (root_fd_ >= 0) ::close(root_fd_);
  root_fd_ = -1;
#endif
}

void TSafeOutput::reset_entry() {
  leaf_.clear();
  temp_.clear();
  ready_ = false;
  created_ = false;
  erased_ = false;
  write_error_.clear();
  create_error_.clear();
  written_ = 0;
  opened = false;
  name.clear();
}

bool TSafeOutput::open(const char*) { return false; }
int32_t TSafeOutput::read(void*, int32_t) { return 0; }
uint32_t TSafeOutput::seek(int32_t, int32_t) { return kSeekInvalidFunction; }
int32_t TSafeOutput::position() { return static_cast<int32_t>(written_); }
int32_t TSafeOutput::size() { return static_cast<int32_t>(written_); }

int32_t TSafeOutput::write(const void* buffer, int32_t count) {
  if (!opened || count <= 0 || !write_error_.empty()) return 0;
  const char* p = static_cast<const char*>(buffer);
  size_t done = 0;
  while (done < static_cast<size_t>(count)) {
    std::string why;
    const int64_t n = raw_write(p + done, static_cast<size_t>(count) - done, why);
    if (n <= 0) {
      write_error_ = why.empty() ? "nothing was written" : why;
      return 0;
    }
    done += static_cast<size_t>(n);
  }
  written_ += count;
  return count;
}

bool TSafeOutput::make_folders(const std::vector<std::string>& parts, std::string& why) {
  discard();
  const bool ok = walk(parts, why);
  close_folder();
  return ok;
}

bool TSafeOutput::begin_create() {
  create_error_.clear();
  if (ready_ && !created_) return true;
  create_error_ = "no target prepared";
  return false;
}

// A name of this run's own in the target's folder, short whatever the
// target's name; created exclusively, so a clash only costs another try.
std::string TSafeOutput::next_temp_name(unsigned long process) {
  return ".vlarc-" + std::to_string(process) + "-" + std::to_string(temp_counter_++) + ".tmp";
}

bool TSafeOutput::ready_to_commit(std::string& why) {
  close();
  if (!created_ || temp_.empty()) {
    why = "nothing was written";
    return false;
  }
  if (!write_error_.empty()) {
    why = write_error_;
    return false;
  }
  return true;
}

#ifndef _WIN32
// ---------------------------------------------------------------------------
// POSIX: every step relative to an open folder, never through a link.

bool TSafeOutput::set_root(const std::string& folder, std::string& why) {
  if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
    why = std::strerror(errno);
    return false;
  }
  // The folder the user named is taken as it is, link or not.
  root_fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root_fd_ < 0) {
    why = std::strerror(errno);
    return false;
  }
  return true;
}

void TSafeOutput::close_folder() {
  if (folder_fd_ >= 0) ::close(folder_fd_);
  folder_fd_ = -1;
}

bool TSafeOutput::walk(const std::vector<std::string>& parts, std::string& why) {
  close_folder();
  int current = ::openat(root_fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (current < 0) {
    why = std::strerror(errno);
    return false;
  }
  for (size_t i = 0; i < parts.size(); ++i) {
    const char* part = parts[i].c_str();
    if (::mkdirat(current, part, 0777) != 0 && errno != EEXIST) {
      why = "cannot create folder " + joined(parts, i + 1) + ": " + std::strerror(errno);
      ::close(current);
      return false;
    }
    // Not blocking, so that a FIFO in the way is refused, not waited on.
    const int next = ::openat(current, part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    const int error = errno;
    struct stat st;
    const bool link = next < 0 && ::fstatat(current, part, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
    ::close(current);
    if (next < 0) {
      if (link || error == ELOOP) {
        why = joined(parts, i + 1) + " is a link, which is not followed";
      } else if (error == ENOTDIR) {
        why = joined(parts, i + 1) + " is not a folder";
      } else {
        why = "cannot open folder " + joined(parts, i + 1) + ": " + std::strerror(error);
      }
      return false;
    }
    current = next;
  }
  folder_fd_ = current;
  return true;
}

bool TSafeOutput::prepare_file(const std::vector<std::string>& folders, const std::string& leaf, bool overwrite,
                               std::string& why) {
  discard();
  if (!walk(folders, why)) return false;
  struct stat st;
  if (::fstatat(folder_fd_, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    const bool replaceable = S_ISREG(st.st_mode) || S_ISLNK(st.st_mode);
    if (!replaceable) {
      why = "the target exists and is not a regular file";
      return false;
    }
    if (!overwrite) {
      why = "the target exists";
      return false;
    }
  } else if (errno != ENOENT) {
    why = std::strerror(errno);
    return false;
  }
  leaf_ = leaf;
  ready_ = true;
  return true;
}

bool TSafeOutput::create(const char* shown_target) {
  if (!begin_create()) return false;
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp_ = next_temp_name(static_cast<unsigned long>(::getpid()));
    fd_ = ::openat(folder_fd_, temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd_ >= 0) break;
    if (errno != EEXIST) break;
  }
  if (fd_ < 0) {
    create_error_ = std::strerror(errno);
    temp_.clear();
    return false;
  }
  created_ = true;
  opened = true;
  name = shown_target ? shown_target : "";
  return true;
}

int64_t TSafeOutput::raw_write(const void* data, size_t n, std::string& why) {
  for (;;) {
    const ssize_t done = ::write(fd_, data, n);
    if (done < 0 && errno == EINTR) continue;
    if (done < 0) why = std::strerror(errno);
    return done;
  }
}

void TSafeOutput::set_times() {
  const int64_t when = release_unix_time();
  if (fd_ < 0 || when < 0) return;
  struct timespec times[2];
  times[0].tv_sec = static_cast<time_t>(when);
  times[0].tv_nsec = 0;
  times[1] = times[0];
  ::futimens(fd_, times);
}

bool TSafeOutput::close() {
  if (fd_ >= 0 && ::close(fd_) != 0 && write_error_.empty()) write_error_ = std::strerror(errno);
  fd_ = -1;
  opened = false;
  return write_error_.empty();
}

void TSafeOutput::erase() {
  close();
  if (!temp_.empty() && folder_fd_ >= 0) ::unlinkat(folder_fd_, temp_.c_str(), 0);
  temp_.clear();
  erased_ = true;
}

bool TSafeOutput::commit(bool overwrite, bool& exists, std::string& why) {
  exists = false;
  if (!ready_to_commit(why)) return false;
  const char* from = temp_.c_str();
  const char* to = leaf_.c_str();
  int rc;
  if (overwrite) {
    rc = ::renameat(folder_fd_, from, folder_fd_, to);
  } else {
#ifdef RENAME_NOREPLACE
    rc = ::renameat2(folder_fd_, from, folder_fd_, to, RENAME_NOREPLACE);
    if (rc != 0 && (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP))
#endif
    {
      // A hard link is made only where nothing is: the same guarantee.
      rc = ::linkat(folder_fd_, from, folder_fd_, to, 0);
      if (rc == 0) {
        ::unlinkat(folder_fd_, from, 0);
      } else if (errno == EPERM || errno == ENOTSUP || errno == EOPNOTSUPP) {
        struct stat st;
        if (::fstatat(folder_fd_, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
          errno = EEXIST;
        } else {
          rc = ::renameat(folder_fd_, from, folder_fd_, to);
        }
      }
    }
  }
  if (rc != 0) {
    exists = errno == EEXIST;
    why = exists ? "the target exists" : std::strerror(errno);
    return false;
  }
  temp_.clear();
  return true;
}

void TSafeOutput::discard() {
  close();
  if (!temp_.empty() && folder_fd_ >= 0) ::unlinkat(folder_fd_, temp_.c_str(), 0);
  close_folder();
  reset_entry();
}

#else
// ---------------------------------------------------------------------------
// Windows: paths checked part by part; reparse points (links, junctions)
// are never entered, and the temporary file is made with CREATE_NEW.

bool TSafeOutput::set_root(const std::string& folder, std::string& why) {
  if (!CreateDirectoryA(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    why = system_error_text(GetLastError());
    return false;
  }
  const DWORD attrs = GetFileAttributesA(folder.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_DIRECTORY)) {
    why = "not a folder";
    return false;
  }
  root_ = folder;
  if (root_.back() != '\\' && root_.back() != '/') root_ += '\\';
  return true;
}

void TSafeOutput::close_folder() { folder_.clear(); }

bool TSafeOutput::walk(const std::vector<std::string>& parts, std::string& why) {
  std::string path = root_;
  for (size_t i = 0; i < parts.size(); ++i) {
    const std::string here = path + parts[i];
    DWORD attrs = GetFileAttributesA(here.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) {
      if (!CreateDirectoryA(here.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        why = "cannot create folder " + joined(parts, i + 1) + ": " + system_error_text(GetLastError());
        return false;
      }
      attrs = GetFileAttributesA(here.c_str());
    }
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT)) {
      why = joined(parts, i + 1) + " is a link, which is not followed";
      return false;
    }
    if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_DIRECTORY)) {
      why = joined(parts, i + 1) + " is not a folder";
      return false;
    }
    path = here + '\\';
  }
  folder_ = path;
  return true;
}

bool TSafeOutput::prepare_file(const std::vector<std::string>& folders, const std::string& leaf, bool overwrite,
                               std::string& why) {
  discard();
  if (!walk(folders, why)) return false;
  const DWORD attrs = GetFileAttributesA((folder_ + leaf).c_str());
  if (attrs != INVALID_FILE_ATTRIBUTES) {
    const bool link = (attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (!link && (attrs & FILE_ATTRIBUTE_DIRECTORY)) {
      why = "the target exists and is not a regular file";
      return false;
    }
    if (!overwrite) {
      why = "the target exists";
      return false;
    }
  } else if (GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND) {
    why = system_error_text(GetLastError());
    return false;
  }
  leaf_ = leaf;
  ready_ = true;
  return true;
}

bool TSafeOutput::create(const char* shown_target) {
  if (!begin_create()) return false;
  HANDLE file = INVALID_HANDLE_VALUE;
  DWORD error = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp_ = next_temp_name(GetCurrentProcessId());
    file = CreateFileA((folder_ + temp_).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file != INVALID_HANDLE_VALUE) break;
    error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
  }
  if (file == INVALID_HANDLE_VALUE) {
    create_error_ = system_error_text(error);
    temp_.clear();
    return false;
  }
  file_ = file;
  created_ = true;
  opened = true;
  name = shown_target ? shown_target : "";
  return true;
}

int64_t TSafeOutput::raw_write(const void* data, size_t n, std::string& why) {
  DWORD done = 0;
  const DWORD want = n > 0x40000000u ? 0x40000000u : static_cast<DWORD>(n);
  if (!WriteFile(static_cast<HANDLE>(file_), data, want, &done, nullptr)) {
    why = system_error_text(GetLastError());
    return -1;
  }
  return done;
}

void TSafeOutput::set_times() {
  if (file_) StampInstalledFile(static_cast<HANDLE>(file_));
}

bool TSafeOutput::close() {
  if (file_ && !CloseHandle(static_cast<HANDLE>(file_)) && write_error_.empty())
    write_error_ = system_error_text(GetLastError());
  file_ = nullptr;
  opened = false;
  return write_error_.empty();
}

void TSafeOutput::erase() {
  close();
  if (!temp_.empty()) DeleteFileA((folder_ + temp_).c_str());
  temp_.clear();
  erased_ = true;
}

bool TSafeOutput::commit(bool overwrite, bool& exists, std::string& why) {
  exists = false;
  if (!ready_to_commit(why)) return false;
  // A move replaces a link at the target, it does not write through it.
  if (!MoveFileExA((folder_ + temp_).c_str(), (folder_ + leaf_).c_str(), overwrite ? MOVEFILE_REPLACE_EXISTING : 0)) {
    const DWORD error = GetLastError();
    exists = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
    why = exists ? "the target exists" : system_error_text(error);
    return false;
  }
  temp_.clear();
  return true;
}

void TSafeOutput::discard() {
  close();
  if (!temp_.empty() && !folder_.empty()) DeleteFileA((folder_ + temp_).c_str());
  close_folder();
  reset_entry();
}
#endif
