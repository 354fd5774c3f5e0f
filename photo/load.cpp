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

#include "photo/colour.hpp"
#include "photo/decoders.hpp"

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

// The decoders' libraries write their own complaints about damaged files straight to stderr
// ("libpng error: Read Error", "Premature end of JPEG file"). The user learns of a file that cannot
// be read from the message box, so stderr points at /dev/null while a file is read. Under the
// sanitizers it stays as it is: their reports must reach the console. Photos loaded on several
// threads at once share the silence: the first to start reading turns stderr off, the last to
// finish turns it on again.
class QuietStderr {
 public:
  QuietStderr() {
#ifdef LUMIVET_SANITIZE
    return;
#endif
    const std::lock_guard<std::mutex> lock(mutex_);
    if (readers_++ > 0) return;
    std::cerr.flush();
    std::fflush(stderr);
    saved_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved_ >= 0 && devNull >= 0) ::dup2(devNull, STDERR_FILENO);
    if (devNull >= 0) ::close(devNull);
  }
  ~QuietStderr() {
#ifdef LUMIVET_SANITIZE
    return;
#endif
    const std::lock_guard<std::mutex> lock(mutex_);
    if (--readers_ > 0) return;
    std::fflush(stderr);
    if (saved_ >= 0) {
      ::dup2(saved_, STDERR_FILENO);
      ::close(saved_);
      saved_ = -1;
    }
  }

 private:
  static inline std::mutex mutex_;
  static inline int readers_ = 0;
  static inline int saved_ = -1;
};

// Runs a decoder step; anything it throws (images over the library's pixel limit, exhausted
// memory, a library's own exception) counts as failure.
template <typename Step>
bool safely(Step step) {
  try {
    return step();
  } catch (...) {
    return false;
  }
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
  // stat never opens the file: a FIFO's open would wait for a writer for ever.
  struct stat status;
  if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
    photo.error = unreadable;
    return photo;
  }
  QuietStderr quiet;
  const PhotoDecoder& decoder = decoderFor(path);
  cv::Size size;
  if (!safely([&] { return decoder.readSize(path, size); })) {
    photo.error = unreadable;
    return photo;
  }
  const std::uint64_t needed = sessionMemory(size);
  const std::uint64_t memoryLimit = admit(needed);
  if (memoryLimit > 0 && needed > memoryLimit) {
    std::ostringstream message;
    message << "The image \"" << path << "\" is " << size.width << "x" << size.height
            << " pixels; editing it needs about " << megabytes(needed) << " of memory, but only "
            << megabytes(memoryLimit) << " is available.";
    photo.error = message.str();
    return photo;
  }
  DecodedPhoto decoded;
  if (!safely([&] { return decoder.decode(path, decoded); }) || decoded.image.empty() ||
      decoded.image.type() != CV_8UC3) {
    photo.error = unreadable;
    return photo;
  }
  photo.image = decoded.image;
  photo.metadata = std::move(decoded.metadata);
  // The samples are RGB now, whatever the file held: the profile saved with them must be too.
  photo.metadata.icc = profileForRgbSamples(photo.metadata.icc);
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
