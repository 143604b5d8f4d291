// Folder creation with rollback, and drive free space. Paths are split and
// compared by the helpers of install_contract.h.
#include "install/long_path.h"

#include <windows.h>

#include <cctype>

namespace {

// Index of the last '/' or '\', or npos.
size_t LastSeparator(const std::string& path) { return path.find_last_of("/\\"); }

// Cuts the path at its last separator: the separator and all after it go;
// with no separator the path becomes empty.
void CutAtLastSeparator(std::string& path) {
  const size_t pos = LastSeparator(path);
  path.resize(pos == std::string::npos ? 0 : pos);
}

// "D:" or "D:\": a drive given on its own, which is never probed.
bool IsBareDrive(const std::string& path) {
  if (path.size() != 2 && path.size() != 3) return false;
  if (!std::isalpha(static_cast<unsigned char>(path[0])) || path[1] != ':') return false;
  return path.size() == 2 || path[2] == '\\';
}

// The attributes of the entry that FindFirstFileA finds for the path.
bool FindEntry(const std::string& path, DWORD& attributes) {
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(path.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return false;
  FindClose(find);
  attributes = data.dwFileAttributes;
  return true;
}

// Length of the next component of what remains to be created: up to the
// first separator after its first character, where a separator right after
// a drive colon ("C:\") still belongs to the component.
size_t NextComponentLength(const std::string& remainder) {
  for (size_t i = 1; i < remainder.size(); ++i) {
    if (!IsPathSeparator(remainder[i])) continue;
    if (i == 2 && remainder[1] == ':') continue;
    return i;
  }
  return remainder.size();
}

// The share root of a network path, "\\server\share\"; empty when the path
// does not name both a server and a share.
std::string NetworkRoot(const std::string& path) {
  const size_t server_end = path.find('\\', 2);
  if (server_end == std::string::npos || server_end == 2) return std::string();
  const size_t share_end = path.find('\\', server_end + 1);
  if (share_end == server_end + 1) return std::string();
  if (share_end == std::string::npos) return path + '\\';
  return path.substr(0, share_end + 1);
}

}  // namespace

bool FolderExists(const std::string& path) {
  DWORD attributes = 0;
  return FindEntry(path, attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void RemoveCreatedFolders(std::string last_created, const std::string& base) {
  if (base.empty() || last_created.size() < base.size()) return;
  std::string created = last_created.substr(base.size());
  while (!created.empty()) {
    if (!RemoveDirectoryA(last_created.c_str())) return;
    CutAtLastSeparator(last_created);
    CutAtLastSeparator(created);
  }
}

bool ForceFolder(std::string& path) {
  if (path.size() > 3 && IsPathSeparator(path.back())) path.pop_back();
  if (path.empty()) return true;

  // The nearest existing ancestor (or the folder itself). A drive given on
  // its own is taken as existing; a drive reached by cutting is probed.
  std::string base;
  if (IsBareDrive(path)) {
    base = path;
  } else {
    std::string probe = path;
    while (!probe.empty()) {
      DWORD attributes = 0;
      if (FindEntry(probe, attributes)) {
        // Never build inside a file, nor inside a folder the user is not
        // meant to see.
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
            (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0)
          return false;
        base = probe;
        break;
      }
      CutAtLastSeparator(probe);
    }
  }

  std::string remainder = path.substr(base.size());
  std::string current = base;
  while (!remainder.empty()) {
    const size_t length = NextComponentLength(remainder);
    const std::string before = current;
    current += remainder.substr(0, length);
    remainder.erase(0, length);
    if (!CreateDirectoryA(current.c_str(), nullptr)) {
      RemoveCreatedFolders(before, base);
      return false;
    }
  }
  return true;
}

uint32_t GetDriveFreeBytes(const std::string& path) {
  std::string root;
  if (path.compare(0, 2, "\\\\") == 0) {
    if (path.find("\\\\", 1) != std::string::npos) return 0;
    root = NetworkRoot(path);
    if (root.empty()) return 0;
  } else if (path.find("\\\\") != std::string::npos) {
    return 0;
  } else if (path.find('\\') == 2 && path[1] == ':') {
    root = path.substr(0, 3);
  } else {
    char current[kMaxPathChars];
    const DWORD length = GetCurrentDirectoryA(sizeof current, current);
    if (length == 0 || length >= sizeof current) return 0;
    const std::string directory(current, length);
    root = directory.compare(0, 2, "\\\\") == 0 ? NetworkRoot(directory) : directory.substr(0, 3);
    if (root.empty()) return 0;
  }

  DWORD sectors_per_cluster = 0, bytes_per_sector = 0, free_clusters = 0, total_clusters = 0;
  if (!GetDiskFreeSpaceA(root.c_str(), &sectors_per_cluster, &bytes_per_sector, &free_clusters,
                         &total_clusters))
    return 0;
  return FreeBytesOfClusters(free_clusters, bytes_per_sector, sectors_per_cluster);
}

uint32_t FreeBytesOfClusters(uint32_t free_clusters, uint32_t bytes_per_sector,
                             uint32_t sectors_per_cluster) {
  // In 64 bits: a product taken modulo 2^32 would read a drive with a
  // multiple of 4 GiB free as full.
  const uint64_t free_bytes =
      static_cast<uint64_t>(free_clusters) * bytes_per_sector * sectors_per_cluster;
  return free_bytes > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(free_bytes);
}
