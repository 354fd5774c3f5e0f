// The disk calls of the save and the journal.
#include "photo/disk.hpp"

#include <stdio.h>
#include <unistd.h>

#include <cerrno>

DiskCalls diskCalls = {::write, ::fsync, ::fdatasync, ::renameat2};

bool writeAll(int fd, const void* data, std::size_t size) {
  const char* bytes = static_cast<const char*>(data);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = diskCalls.write(fd, bytes + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool syncFolder(int folder) {
  return diskCalls.fsync(folder) == 0;
}
