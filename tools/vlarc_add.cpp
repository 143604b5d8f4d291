// `vlarc a [options] ARCHIVE FILE...`: packs files and folders into a new
// archive. Options: -m0 (store) to -m5 (best), default -m3; -s solid;
// --sfx FILE puts FILE in front of the archive as a self-extractor stub.
//
// Only regular files and folders are packed; anything else is reported and
// left out (the run then ends with status 1). The archive is never one of
// the files it packs: named among them, the run fails before anything is
// written; met inside a folder being packed, the old archive is left out.
// Files are read in pieces, never whole. The archive is written to a
// temporary file beside the target and renamed over it only when everything
// went well; on any failure, running out of memory or disk included, nothing
// is left behind. A new archive gets the usual mode for a new file; one that
// replaces an archive keeps the mode of the one it replaces.

#include "tools/vlarc_add.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <dirent.h>
#include <unistd.h>
#endif

#include "archive/arc_block.h"
#include "pack/archive_writer.h"

namespace {

struct AddItem {
  std::string path;  // on disk
  std::string name;  // in the archive
};

// The self-extractor scan looks at the kSfxScanBytes stream bytes after the
// first 7 for the marker. A stub of 7 to 131,047 bytes keeps the marker and
// the main header's type byte inside that window with room to spare.
constexpr long kSfxFirst = kMarkerSize;
constexpr long kSfxLast = kMarkerSize + kSfxScanBytes - 16;

void usage() {
  std::fprintf(stderr,
               "usage: vlarc a [-m0..-m5] [-s] [--sfx STUB] ARCHIVE FILE...\n"
               "  -m0 store, -m1 fastest .. -m5 best (default -m3)\n"
               "  -s  solid archive\n"
               "  --sfx STUB  put STUB in front of the archive\n");
}

// A name as it may be shown: control characters as \xNN.
std::string shown(const std::string& s) {
  std::string r;
  for (unsigned char c : s) {
    if (c < 0x20 || c == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      r += hex;
    } else {
      r += static_cast<char>(c);
    }
  }
  return r;
}

// What a file is, by identity rather than by name: device and inode, or on
// Windows the volume serial number and the file index.
struct FileId {
  uint64_t volume = 0;
  uint64_t index = 0;
  bool operator==(const FileId& o) const { return volume == o.volume && index == o.index; }
};

bool file_id(const std::string& path, FileId& id) {
#ifdef _WIN32
  HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION fi;
  bool ok = GetFileInformationByHandle(h, &fi) != 0;
  CloseHandle(h);
  if (!ok) return false;
  id.volume = fi.dwVolumeSerialNumber;
  id.index = uint64_t(fi.nFileIndexHigh) << 32 | fi.nFileIndexLow;
#else
  struct stat sb;
  if (::stat(path.c_str(), &sb) != 0) return false;
  id.volume = static_cast<uint64_t>(sb.st_dev);
  id.index = static_cast<uint64_t>(sb.st_ino);
#endif
  return true;
}

enum class Kind { missing, file, folder, other };

Kind kind_of(const std::string& path) {
  struct stat sb;
  if (::stat(path.c_str(), &sb) != 0) return Kind::missing;
  if ((sb.st_mode & S_IFMT) == S_IFREG) return Kind::file;
  if ((sb.st_mode & S_IFMT) == S_IFDIR) return Kind::folder;
  return Kind::other;
}

// A part of a name that extraction would not give back as it is: control
// characters anywhere, and a backslash or a colon, which the archive's
// readers take for separators or a drive.
bool faithful_part(const std::string& part) {
  for (unsigned char c : part)
    if (c < 0x20 || c == 0x7F || c == '\\' || c == ':') return false;
  return true;
}

enum class NameCheck { ok, climbs, unfaithful, too_long };

// Archived name: the path as given, relative, with backslashes.
NameCheck archive_name(const std::string& path, std::string& name) {
  size_t i = 0;
#ifdef _WIN32
  if (path.size() >= 2 && path[1] == ':') i = 2;
  const char* separators = "/\\";
#else
  const char* separators = "/";
#endif
  std::vector<std::string> parts;
  std::string part;
  for (; i <= path.size(); i++) {
    char c = i < path.size() ? path[i] : '/';
    if (std::strchr(separators, c) && c != '\0') {
      if (part == "..") return NameCheck::climbs;
      if (!faithful_part(part)) return NameCheck::unfaithful;
      if (!part.empty() && part != ".") parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  std::string n;
  for (size_t k = 0; k < parts.size(); k++) {
    if (k) n += '\\';
    n += parts[k];
  }
  if (n.empty() || n.size() > kMaxNameSize) return NameCheck::too_long;
  name = n;
  return NameCheck::ok;
}

bool list_dir(const std::string& dir, std::vector<std::string>& names) {
#ifdef _WIN32
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return false;
  do {
    if (std::strcmp(fd.cFileName, ".") && std::strcmp(fd.cFileName, "..")) names.push_back(fd.cFileName);
  } while (FindNextFileA(h, &fd));
  FindClose(h);
#else
  DIR* d = opendir(dir.c_str());
  if (!d) return false;
  while (struct dirent* e = readdir(d))
    if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.push_back(e->d_name);
  closedir(d);
#endif
  std::sort(names.begin(), names.end());
  return true;
}

struct Collection {
  std::vector<AddItem> items;
  bool left_out = false;  // something that is neither file nor folder
};

bool collect(const std::string& path, Collection& c, int depth = 0) {
  Kind kind = kind_of(path);
  if (kind == Kind::missing) {
    std::fprintf(stderr, "vlarc: cannot find %s: %s\n", shown(path).c_str(), std::strerror(errno));
    return false;
  }
  if (kind == Kind::other) {
    std::fprintf(stderr, "vlarc: %s is not a regular file or folder; left out\n", shown(path).c_str());
    c.left_out = true;
    return true;
  }
  if (kind == Kind::folder) {
    // Names are limited to a path's length anyway; deeper nesting means a
    // folder that links back to itself.
    if (depth > 64) {
      std::fprintf(stderr, "vlarc: %s: folders nested too deeply (a link loop?)\n", shown(path).c_str());
      return false;
    }
    std::vector<std::string> names;
    if (!list_dir(path, names)) {
      std::fprintf(stderr, "vlarc: cannot read folder %s: %s\n", shown(path).c_str(), std::strerror(errno));
      return false;
    }
    std::string prefix = path;
    if (!prefix.empty() && prefix.back() != '/' && prefix.back() != '\\') prefix += '/';
    for (const std::string& n : names)
      if (!collect(prefix + n, c, depth + 1)) return false;
    return true;
  }
  AddItem it;
  it.path = path;
  switch (archive_name(path, it.name)) {
    case NameCheck::ok: break;
    case NameCheck::climbs:
    case NameCheck::too_long:
      std::fprintf(stderr, "vlarc: %s: the name does not fit in the archive (relative, at most %zu bytes)\n",
                   shown(path).c_str(), kMaxNameSize);
      return false;
    case NameCheck::unfaithful:
      std::fprintf(stderr,
                   "vlarc: %s: the name holds a backslash, a colon or a control character, "
                   "which extraction would not give back\n",
                   shown(path).c_str());
      return false;
  }
  c.items.push_back(it);
  return true;
}

// One input file, read in pieces. Opened without waiting (a FIFO put in a
// file's place after it was listed must not block the run) and checked to be
// a regular file once open.
class FileSource : public ByteSource {
 public:
  ~FileSource() override {
    if (f_) std::fclose(f_);
  }
  bool open(const std::string& path) {
    path_ = path;
#ifdef _WIN32
    f_ = std::fopen(path.c_str(), "rb");
    if (!f_) return fail_open();
    struct _stati64 sb;
    if (_fstati64(_fileno(f_), &sb) != 0) return fail_open();
#else
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return fail_open();
    f_ = fdopen(fd, "rb");
    if (!f_) {
      ::close(fd);
      return fail_open();
    }
    struct stat sb;
    if (::fstat(fd, &sb) != 0) return fail_open();
#endif
    if ((sb.st_mode & S_IFMT) != S_IFREG) {
      std::fprintf(stderr, "vlarc: %s is no longer a regular file\n", shown(path).c_str());
      return false;
    }
    size_ = static_cast<uint64_t>(sb.st_size);
    mtime_ = static_cast<int64_t>(sb.st_mtime);
    return true;
  }
  size_t read(uint8_t* data, size_t size) override {
    size_t n = std::fread(data, 1, size, f_);
    if (n < size) {
      if (std::ferror(f_)) std::fprintf(stderr, "vlarc: cannot read %s: %s\n", shown(path_).c_str(), std::strerror(errno));
      else std::fprintf(stderr, "vlarc: %s became shorter while it was read\n", shown(path_).c_str());
    }
    return n;
  }
  bool rewind() override {
#ifdef _WIN32
    return _fseeki64(f_, 0, SEEK_SET) == 0;
#else
    return fseeko(f_, 0, SEEK_SET) == 0;
#endif
  }
  uint64_t size() const { return size_; }
  int64_t mtime() const { return mtime_; }

 private:
  bool fail_open() {
    std::fprintf(stderr, "vlarc: cannot open %s: %s\n", shown(path_).c_str(), std::strerror(errno));
    return false;
  }
  FILE* f_ = nullptr;
  std::string path_;
  uint64_t size_ = 0;
  int64_t mtime_ = 0;
};

// The temporary archive. Readers address an archive with signed 32-bit
// offsets, so it may not pass 2 GiB.
class Output : public ByteSink {
 public:
  ~Output() override { discard(); }

  bool create(const std::string& archive);
  bool commit(const std::string& archive);
  // Closes and removes the temporary file.
  void discard();

  bool write(const uint8_t* data, size_t size) override {
    if (pos_ + size > 0x7FFFFFFFu) {
      std::fprintf(stderr, "vlarc: the archive would pass 2 GiB, which readers cannot address\n");
      return false;
    }
    if (size && std::fwrite(data, 1, size, f_) != size) return failed();
    pos_ += size;
    return true;
  }
  uint64_t position() const override { return pos_; }
  bool seek(uint64_t position) override {
#ifdef _WIN32
    bool ok = _fseeki64(f_, static_cast<__int64>(position), SEEK_SET) == 0;
#else
    bool ok = fseeko(f_, static_cast<off_t>(position), SEEK_SET) == 0;
#endif
    if (!ok) return failed();
    pos_ = position;
    return true;
  }
  bool truncate() override {
    if (std::fflush(f_) != 0) return failed();
#ifdef _WIN32
    bool ok = _chsize_s(_fileno(f_), static_cast<__int64>(pos_)) == 0;
#else
    bool ok = ::ftruncate(fileno(f_), static_cast<off_t>(pos_)) == 0;
#endif
    return ok || failed();
  }

 private:
  bool failed() {
    std::fprintf(stderr, "vlarc: cannot write %s: %s\n", shown(temp_).c_str(), std::strerror(errno));
    return false;
  }
  FILE* f_ = nullptr;
  std::string temp_;
  uint64_t pos_ = 0;
};

bool Output::create(const std::string& archive) {
#ifdef _WIN32
  for (int i = 0; i < 1000 && !f_; i++) {
    temp_ = archive + ".tmp" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(i);
    f_ = std::fopen(temp_.c_str(), "wbx");
  }
#else
  std::string t = archive + ".tmpXXXXXX";
  std::vector<char> buf(t.begin(), t.end());
  buf.push_back(0);
  int fd = mkstemp(buf.data());
  if (fd >= 0) {
    temp_ = buf.data();
    f_ = fdopen(fd, "w+b");
    if (!f_) {
      ::close(fd);
      std::remove(temp_.c_str());
    }
  }
#endif
  if (!f_) {
    std::fprintf(stderr, "vlarc: cannot create a file beside %s: %s\n", shown(archive).c_str(), std::strerror(errno));
    temp_.clear();
    return false;
  }
  return true;
}

bool Output::commit(const std::string& archive) {
#ifndef _WIN32
  // The mode of the archive replaced, or a new file's usual mode.
  struct stat old;
  mode_t mode;
  if (::stat(archive.c_str(), &old) == 0 && (old.st_mode & S_IFMT) == S_IFREG) {
    mode = old.st_mode & 07777;
  } else {
    mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  if (::fchmod(fileno(f_), mode) != 0) return failed();
#endif
  bool ok = std::fflush(f_) == 0;
  ok = std::fclose(f_) == 0 && ok;
  f_ = nullptr;
  if (!ok) return failed();
#ifdef _WIN32
  ok = MoveFileExA(temp_.c_str(), archive.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
  ok = std::rename(temp_.c_str(), archive.c_str()) == 0;
#endif
  if (!ok) {
    std::fprintf(stderr, "vlarc: cannot create %s\n", shown(archive).c_str());
    return false;
  }
  temp_.clear();
  return true;
}

void Output::discard() {
  if (f_) std::fclose(f_);
  f_ = nullptr;
  if (!temp_.empty()) std::remove(temp_.c_str());
  temp_.clear();
}

// Reads the self-extractor stub and checks that the archive behind it will
// be found.
bool read_stub(const std::string& sfx, std::vector<uint8_t>& stub) {
  FileSource in;
  if (!in.open(sfx)) return false;
  if (in.size() < static_cast<uint64_t>(kSfxFirst) || in.size() > static_cast<uint64_t>(kSfxLast)) {
    std::fprintf(stderr,
                 "vlarc: the stub %s has %llu bytes; the archive must start at offset %ld to %ld "
                 "to be found behind it\n",
                 shown(sfx).c_str(), static_cast<unsigned long long>(in.size()), kSfxFirst, kSfxLast);
    return false;
  }
  stub.resize(static_cast<size_t>(in.size()));
  if (in.read(stub.data(), stub.size()) != stub.size()) return false;
  // The reader takes the first marker it meets (at the start, or by the
  // scan); one inside the stub would be mistaken for the archive. The old
  // format's mark counts when the stub carries the self-extractor tag.
  const size_t sig = kOldSfxSignatureOffset;
  bool old_tag = stub.size() >= sig + 4 && std::memcmp(&stub[sig], kOldSfxSignature, 4) == 0;
  for (size_t k = 0; k < stub.size(); k++) {
    bool found = (stub[k] == kMarker[0] || stub[k] == kMarkerLowerFirst) && k + kMarkerSize <= stub.size() &&
                 std::memcmp(&stub[k + 1], kMarker + 1, kMarkerSize - 1) == 0;
    found = found || ((k == 0 || old_tag) && k + 4 <= stub.size() && std::memcmp(&stub[k], kOldMark, 4) == 0);
    if (found) {
      std::fprintf(stderr, "vlarc: the stub %s holds an archive marker of its own\n", shown(sfx).c_str());
      return false;
    }
  }
  return true;
}

// Drops the old archive from what a folder brought in, and refuses a run
// that names it as a file to pack.
bool keep_archive_out(const std::string& archive, const std::vector<std::string>& named, std::vector<AddItem>& items) {
  FileId target;
  if (!file_id(archive, target)) return true;  // a new archive
  for (const std::string& n : named) {
    FileId id;
    if (kind_of(n) == Kind::file && file_id(n, id) && id == target) {
      std::fprintf(stderr, "vlarc: %s is the archive being written; it cannot also be packed into it\n",
                   shown(n).c_str());
      return false;
    }
  }
  items.erase(std::remove_if(items.begin(), items.end(),
                             [&](const AddItem& it) {
                               FileId id;
                               return file_id(it.path, id) && id == target;
                             }),
              items.end());
  return true;
}

// The archive's contents behind the stub and the main header.
bool write_entries(Output& out, const std::vector<AddItem>& items, int level, bool solid_archive) {
  auto run = std::make_unique<TPackRun>();  // large
  pack_run_start(*run, level, solid_archive);
  for (const AddItem& item : items) {
    FileSource in;
    if (!in.open(item.path)) return false;
    if (in.size() > kMaxEntrySize) {
      std::fprintf(stderr, "vlarc: %s is larger than 2 GiB, which the format cannot hold\n", shown(item.path).c_str());
      return false;
    }
    TPackEntryInfo info;
    info.name = item.name;
    info.file_time = pack_dos_time(in.mtime());
    if (pack_run_add(*run, in, in.size(), info, out) != PackAddResult::added) return false;
  }
  return true;
}

int add(int argc, char** argv) {
  int level = 3;
  bool solid_archive = false;
  std::string sfx;
  int i = 1;
  for (; i < argc; i++) {
    std::string a = argv[i];
    if (a.size() == 3 && a[0] == '-' && a[1] == 'm' && a[2] >= '0' && a[2] <= '5') {
      level = a[2] - '0';
    } else if (a == "-s") {
      solid_archive = true;
    } else if (a == "--sfx" && i + 1 < argc) {
      sfx = argv[++i];
    } else if (a == "--") {
      i++;
      break;
    } else if (a.size() > 1 && a[0] == '-') {
      std::fprintf(stderr, "vlarc: unknown option %s\n", shown(a).c_str());
      usage();
      return 2;
    } else {
      break;
    }
  }
  if (argc - i < 2) {
    usage();
    return 2;
  }
  std::string archive = argv[i++];
  std::vector<std::string> named(argv + i, argv + argc);
  if (!sfx.empty()) named.push_back(sfx);
  Collection found;
  for (; i < argc; i++)
    if (!collect(argv[i], found)) return 1;
  if (!keep_archive_out(archive, named, found.items)) return 1;

  std::vector<uint8_t> stub;
  if (!sfx.empty() && !read_stub(sfx, stub)) return 1;

  Output out;
  if (!out.create(archive)) return 1;
  std::vector<uint8_t> head;
  pack_main_header(head, solid_archive);
  if (!out.write(stub.data(), stub.size()) || !out.write(head.data(), head.size())) return 1;
  if (!write_entries(out, found.items, level, solid_archive)) return 1;
  if (!out.commit(archive)) return 1;
  return found.left_out ? 1 : 0;
}

}  // namespace

int vlarc_add(int argc, char** argv) {
  try {
    return add(argc, argv);
  } catch (const std::bad_alloc&) {
    // Every file of the run has been closed and the temporary one removed
    // on the way out.
    std::fputs("vlarc: out of memory\n", stderr);
    return 1;
  }
}
