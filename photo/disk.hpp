// The calls that decide what a power cut leaves on disk: writing, flushing and renaming. The save
// and the edit journal make them through one table, so that a test can look at what the disk holds
// after each of them; and the two helpers both build on them.
#pragma once

#include <sys/types.h>

#include <cstddef>

struct DiskCalls {
  ssize_t (*write)(int fd, const void* data, std::size_t size);
  int (*fsync)(int fd);
  int (*fdatasync)(int fd);
  // renameat2: flags 0 or RENAME_NOREPLACE.
  int (*renameat)(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags);
};

// The system's calls, unless a test has put its own in their place.
extern DiskCalls diskCalls;

// Writes all `size` bytes, retrying short writes and interrupted calls. On failure returns false
// with errno set.
bool writeAll(int fd, const void* data, std::size_t size);

// Flushes the names in the folder open as `folder` (new, renamed and removed files) to disk.
bool syncFolder(int folder);
