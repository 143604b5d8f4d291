// `vlarc a [options] ARCHIVE FILE...`: packs files and folders into a new
// archive. Options: -m0 (store) to -m5 (best), default -m3; -s solid;
// --sfx FILE puts FILE in front of the archive as a self-extractor stub.
// The archive is written to a temporary file beside the target and renamed
// over it only when everything went well; on any failure nothing is left.

#include "tools/vlarc_add.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

#ifdef _WIN32
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

bool is_dir(const std::string& path) {
  struct stat sb;
  return ::stat(path.c_str(), &sb) == 0 && (sb.st_mode & S_IFMT) == S_IFDIR;
}

// Archived name: the path as given, relative, with backslashes. Names that
// climb out of the extraction folder or do not fit are refused.
bool archive_name(const std::string& path, std::string& name) {
  std::string n;
  size_t i = 0;
#ifdef _WIN32
  if (path.size() >= 2 && path[1] == ':') i = 2;
#endif
  std::vector<std::string> parts;
  std::string part;
  for (; i <= path.size(); i++) {
    char c = i < path.size() ? path[i] : '/';
    if (c == '/' || c == '\\') {
      if (part == "..") return false;
      if (!part.empty() && part != ".") parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  for (size_t k = 0; k < parts.size(); k++) {
    if (k) n += '\\';
    n += parts[k];
  }
  if (n.empty() || n.size() > kMaxNameSize) return false;
  name = n;
  return true;
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

bool collect(const std::string& path, std::vector<AddItem>& items, int depth = 0) {
  if (is_dir(path)) {
    // Names are limited to a path's length anyway; deeper nesting means a
    // folder that links back to itself.
    if (depth > 64) {
      std::fprintf(stderr, "vlarc: %s: folders nested too deeply (a link loop?)\n", path.c_str());
      return false;
    }
    std::vector<std::string> names;
    if (!list_dir(path, names)) {
      std::fprintf(stderr, "vlarc: cannot read folder %s: %s\n", path.c_str(), std::strerror(errno));
      return false;
    }
    std::string prefix = path;
    if (!prefix.empty() && prefix.back() != '/' && prefix.back() != '\\') prefix += '/';
    for (const std::string& n : names)
      if (!collect(prefix + n, items, depth + 1)) return false;
    return true;
  }
  AddItem it;
  it.path = path;
  if (!archive_name(path, it.name)) {
    std::fprintf(stderr, "vlarc: %s: the name does not fit in the archive (relative, at most %zu bytes)\n",
                 path.c_str(), kMaxNameSize);
    return false;
  }
  items.push_back(it);
  return true;
}

bool read_file(const std::string& path, std::vector<uint8_t>& data, uint32_t& dos_time) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    std::fprintf(stderr, "vlarc: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  data.clear();
  // Refuse an oversized file before reading any of it.
#ifdef _WIN32
  bool sized = _fseeki64(f, 0, SEEK_END) == 0;
  int64_t length = sized ? _ftelli64(f) : -1;
  sized = sized && _fseeki64(f, 0, SEEK_SET) == 0;
#else
  bool sized = fseeko(f, 0, SEEK_END) == 0;
  int64_t length = sized ? static_cast<int64_t>(ftello(f)) : -1;
  sized = sized && fseeko(f, 0, SEEK_SET) == 0;
#endif
  if (sized && length > static_cast<int64_t>(kMaxEntrySize)) {
    std::fprintf(stderr, "vlarc: %s is larger than 2 GiB, which the format cannot hold\n", path.c_str());
    std::fclose(f);
    return false;
  }
  if (sized && length > 0) data.reserve(static_cast<size_t>(length));
  uint8_t chunk[65536];
  size_t n;
  bool ok = true;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
    if (data.size() + n > kMaxEntrySize) {
      std::fprintf(stderr, "vlarc: %s is larger than 2 GiB, which the format cannot hold\n", path.c_str());
      ok = false;
      break;
    }
    data.insert(data.end(), chunk, chunk + n);
  }
  if (ok && std::ferror(f)) {
    std::fprintf(stderr, "vlarc: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
    ok = false;
  }
  std::fclose(f);
  struct stat sb;
  dos_time = ::stat(path.c_str(), &sb) == 0 ? pack_dos_time(static_cast<int64_t>(sb.st_mtime)) : 0;
  return ok;
}

struct Output {
  FILE* f = nullptr;
  std::string temp;
  uint64_t written = 0;
};

bool put(Output& o, const void* data, size_t size) {
  if (o.written + size > 0x7FFFFFFFu) {
    std::fprintf(stderr, "vlarc: the archive would pass 2 GiB, which readers cannot address\n");
    return false;
  }
  if (size && std::fwrite(data, 1, size, o.f) != size) {
    std::fprintf(stderr, "vlarc: cannot write %s: %s\n", o.temp.c_str(), std::strerror(errno));
    return false;
  }
  o.written += size;
  return true;
}

void discard(Output& o) {
  if (o.f) std::fclose(o.f);
  o.f = nullptr;
  if (!o.temp.empty()) std::remove(o.temp.c_str());
}

bool open_temp(Output& o, const std::string& archive) {
#ifdef _WIN32
  for (int i = 0; i < 1000 && !o.f; i++) {
    o.temp = archive + ".tmp" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(i);
    o.f = std::fopen(o.temp.c_str(), "wbx");
  }
#else
  std::string t = archive + ".tmpXXXXXX";
  std::vector<char> buf(t.begin(), t.end());
  buf.push_back(0);
  int fd = mkstemp(buf.data());
  if (fd >= 0) {
    o.temp = buf.data();
    o.f = fdopen(fd, "wb");
    if (!o.f) ::close(fd);
  }
#endif
  if (!o.f) {
    std::fprintf(stderr, "vlarc: cannot create a file beside %s: %s\n", archive.c_str(), std::strerror(errno));
    o.temp.clear();
    return false;
  }
  return true;
}

bool commit(Output& o, const std::string& archive) {
  bool ok = std::fflush(o.f) == 0;
  ok = std::fclose(o.f) == 0 && ok;
  o.f = nullptr;
  if (!ok) {
    std::fprintf(stderr, "vlarc: cannot write %s\n", o.temp.c_str());
    return false;
  }
#ifdef _WIN32
  ok = MoveFileExA(o.temp.c_str(), archive.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
  ok = std::rename(o.temp.c_str(), archive.c_str()) == 0;
#endif
  if (!ok) {
    std::fprintf(stderr, "vlarc: cannot create %s\n", archive.c_str());
    return false;
  }
  o.temp.clear();
  return true;
}

}  // namespace

int vlarc_add(int argc, char** argv) {
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
      std::fprintf(stderr, "vlarc: unknown option %s\n", a.c_str());
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
  std::vector<AddItem> items;
  for (; i < argc; i++)
    if (!collect(argv[i], items)) return 1;
  // An earlier archive of the same name inside a folder being packed is not
  // packed into its successor.
  std::string archive_key;
  if (archive_name(archive, archive_key)) {
    struct stat target;
    bool have_target = ::stat(archive.c_str(), &target) == 0;
    items.erase(std::remove_if(items.begin(), items.end(),
                               [&](const AddItem& it) {
                                 struct stat sb;
#ifndef _WIN32
                                 if (have_target && ::stat(it.path.c_str(), &sb) == 0)
                                   return sb.st_dev == target.st_dev && sb.st_ino == target.st_ino;
#else
                                 (void)sb;
                                 (void)have_target;
#endif
                                 return it.name == archive_key;
                               }),
                items.end());
  }

  std::vector<uint8_t> stub;
  if (!sfx.empty()) {
    uint32_t unused;
    if (!read_file(sfx, stub, unused)) return 1;
    if (static_cast<long>(stub.size()) < kSfxFirst || static_cast<long>(stub.size()) > kSfxLast) {
      std::fprintf(stderr,
                   "vlarc: the stub %s has %zu bytes; the archive must start at offset %ld to %ld "
                   "to be found behind it\n",
                   sfx.c_str(), stub.size(), kSfxFirst, kSfxLast);
      return 1;
    }
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
        std::fprintf(stderr, "vlarc: the stub %s holds an archive marker of its own\n", sfx.c_str());
        return 1;
      }
    }
  }

  Output out;
  if (!open_temp(out, archive)) return 1;
  std::vector<uint8_t> head;
  pack_main_header(head, solid_archive);
  if (!put(out, stub.data(), stub.size()) || !put(out, head.data(), head.size())) {
    discard(out);
    return 1;
  }
  static TPackRun run;
  pack_run_start(run, level, solid_archive);
  std::vector<uint8_t> data;
  for (const AddItem& item : items) {
    TPackEntryInfo info;
    info.name = item.name;
    if (!read_file(item.path, data, info.file_time)) {
      discard(out);
      return 1;
    }
    uint32_t body_size = 0;
    const uint8_t* body = pack_run_entry(run, data.data(), data.size(), info, body_size);
    head.clear();
    pack_file_header(head, info, body_size);
    if (!put(out, head.data(), head.size()) || !put(out, body, body_size)) {
      discard(out);
      return 1;
    }
  }
  if (!commit(out, archive)) {
    discard(out);
    return 1;
  }
  return 0;
}
