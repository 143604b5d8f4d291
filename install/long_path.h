// Path strings and folders: splitting a path into folder and name, testing
// and creating folders (with their missing parents, undone on failure), and
// the free space of the drive a path lies on. No state; any thread.
#pragma once

#include <cstdint>
#include <string>

#include "install/install_contract.h"  // IsPathSeparator, GetPathPart, GetNamePart

// Paths are limited to this many characters wherever Windows returns them;
// buffers for them hold one byte more for the terminating zero.
constexpr int kMaxPathChars = 260;
constexpr int kPathBufferSize = kMaxPathChars + 1;

// An entry of that name exists and is a directory (hidden and system
// directories count).
bool FolderExists(const std::string& path);

// Makes sure the folder and all its parents exist. A path longer than three
// characters loses one trailing separator in the caller's string first.
// Fails without creating anything when the nearest existing ancestor is a
// file or a hidden or system folder; when a CreateDirectoryA call fails, the
// folders this call created are removed again.
bool ForceFolder(std::string& path);

// Removes the folders below base on the way up from last_created (which
// begins with base), stopping at the first one that cannot be removed.
// Nothing is removed when base is empty; base itself never is.
void RemoveCreatedFolders(std::string last_created, const std::string& base);

// Free bytes on the drive holding the path, capped at 0xFFFFFFFF; 0 when the
// drive cannot be determined or queried. Callers only test for non-zero.
uint32_t GetDriveFreeBytes(const std::string& path);

// The free-space product of GetDiskFreeSpaceA's answer, capped at 0xFFFFFFFF.
uint32_t FreeBytesOfClusters(uint32_t free_clusters, uint32_t bytes_per_sector,
                             uint32_t sectors_per_cluster);
