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
// sanitizers it stays as it is: their reports must reach the console.
class QuietStderr {
 public:
  QuietStderr() {
#ifdef LUMIVET_SANITIZE
    return;
#endif
    std::cerr.flush();
    std::fflush(stderr);
    saved_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved_ >= 0 && devNull >= 0) ::dup2(devNull, STDERR_FILENO);
    if (devNull >= 0) ::close(devNull);
  }
  ~QuietStderr() {
    std::fflush(stderr);
    if (saved_ >= 0) {
      ::dup2(saved_, STDERR_FILENO);
      ::close(saved_);
    }
  }

 private:
  int saved_ = -1;
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

LoadedPhoto loadPhoto(const std::string& path, std::uint64_t memoryLimit) {
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
  if (memoryLimit > 0 && !size.empty()) {
    const std::uint64_t needed = sessionMemory(size);
    if (needed > memoryLimit) {
      std::ostringstream message;
      message << "The image \"" << path << "\" is " << size.width << "x" << size.height
              << " pixels; editing it needs about " << megabytes(needed) << " of memory, but only "
              << megabytes(memoryLimit) << " is available.";
      photo.error = message.str();
      return photo;
    }
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
