// Opening the photo: file checks, the memory guard, decoding and the metadata.
#include "photo/load.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
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

MemoryBudget::MemoryBudget(std::function<std::uint64_t()> measure) : measure_(std::move(measure)) {}

std::uint64_t MemoryBudget::take(std::uint64_t needed) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (inFlight_ == 0) total_ = measure_();
    if (total_ == 0) break;
    if (needed > total_) return total_;
    if (taken_ + needed <= total_) break;
    freed_.wait(lock);
  }
  taken_ += needed;
  ++inFlight_;
  return total_ == 0 ? needed : total_;
}

void MemoryBudget::give(std::uint64_t bytes) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    taken_ -= bytes;
    --inFlight_;
  }
  freed_.notify_all();
}

namespace {

// Opens the photo; `admit` is asked, with the memory its session needs, for the memory there is,
// and the photo is refused when that is less.
LoadedPhoto openPhoto(const std::string& path,
                      const std::function<std::uint64_t(std::uint64_t)>& admit) {
  LoadedPhoto photo;
  const std::string unreadable = "The file \"" + path + "\" could not be read as an image.";
  const int fd = openRegularFile(path);
  if (fd < 0) {
    photo.error = unreadable;
    return photo;
  }
  SandboxedPhoto decoded = decodeInSandbox(fd, [&](cv::Size size) {
    const std::uint64_t needed = sessionMemory(size);
    const std::uint64_t memoryLimit = admit(needed);
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

}  // namespace

LoadedPhoto loadPhoto(const std::string& path, std::uint64_t memoryLimit) {
  return openPhoto(path, [memoryLimit](std::uint64_t) { return memoryLimit; });
}

LoadedPhoto loadPhoto(const std::string& path, MemoryBudget& budget) {
  std::uint64_t taken = 0;
  LoadedPhoto photo = openPhoto(path, [&](std::uint64_t needed) {
    // At least a byte, so that a photo in flight always has something to give back.
    const std::uint64_t wanted = std::max<std::uint64_t>(needed, 1);
    const std::uint64_t there = budget.take(wanted);
    if (there >= wanted) taken = wanted;
    return there;
  });
  photo.reserved = taken;
  return photo;
}
