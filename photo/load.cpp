// Opening the photo: file checks, the memory guard, decoding and the metadata.
#include "photo/load.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <new>
#include <sstream>
#include <utility>

#include "photo/sandbox.hpp"

std::uint64_t availableMemory() {
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  std::uint64_t kilobytes = 0;
  while (meminfo >> key >> kilobytes) {
    if (key == "MemAvailable:") return kilobytes * 1024;
    meminfo.ignore(256, '\n');
  }
  return 0;
}

std::uint64_t sessionMemory(cv::Size size) {
  return 5 * std::uint64_t(size.width) * std::uint64_t(size.height) * 3;
}

namespace {

std::string megabytes(std::uint64_t bytes) {
  return std::to_string((bytes + 500000) / 1000000) + " MB";
}

}  // namespace

LoadedPhoto loadPhoto(const std::string& path, std::uint64_t memoryLimit) {
  LoadedPhoto photo;
  const std::string unreadable = "The file \"" + path + "\" could not be read as an image.";
  const int fd = openRegularFile(path);
  if (fd < 0) {
    photo.error = unreadable;
    return photo;
  }
  SandboxedPhoto decoded = decodeInSandbox(fd, [&](cv::Size size) {
    const std::uint64_t needed = sessionMemory(size);
    if (memoryLimit == 0 || needed <= memoryLimit) return true;
    std::ostringstream message;
    message << "The image \"" << path << "\" is " << size.width << "x" << size.height
            << " pixels; editing it needs about " << megabytes(needed) << " of memory, but only "
            << megabytes(memoryLimit) << " is available.";
    photo.error = message.str();
    return false;
  });
  ::close(fd);
  photo.decoderEnd = decoded.end;
  if (!photo.error.empty()) return photo;
  if (decoded.image.empty()) {
    photo.error = unreadable;
    if (decoded.end != HelperEnd::kReplied) photo.why = decoded.why;
    return photo;
  }
  photo.image = decoded.image;
  photo.metadata = std::move(decoded.metadata);
  photo.note = std::move(decoded.note);
  return photo;
}
