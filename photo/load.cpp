// Opening the photo: file checks, the memory guard, decoding and the metadata.
#include "photo/load.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QImageReader>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <new>
#include <opencv2/imgcodecs.hpp>
#include <sstream>

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

// The image codecs write their own complaints about damaged files straight to stderr ("libpng
// error: Read Error", "Premature end of JPEG file"). The user learns of a file that cannot be read
// from the message box, so stderr points at /dev/null while a file is decoded.
cv::Mat decodeQuietly(const std::string& path) {
  std::cerr.flush();
  std::fflush(stderr);
  const int savedStderr = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
  const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (savedStderr >= 0 && devNull >= 0) ::dup2(devNull, STDERR_FILENO);
  if (devNull >= 0) ::close(devNull);

  cv::Mat image;
  try {
    image = cv::imread(path, cv::IMREAD_COLOR);
  } catch (const cv::Exception&) {
    // Images over the library's pixel limit throw instead of returning nothing.
  } catch (const std::bad_alloc&) {
  }

  std::fflush(stderr);
  if (savedStderr >= 0) {
    ::dup2(savedStderr, STDERR_FILENO);
    ::close(savedStderr);
  }
  return image;
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
  const QSize header = QImageReader(QString::fromLocal8Bit(path.c_str())).size();
  if (memoryLimit > 0 && header.isValid()) {
    const cv::Size size(header.width(), header.height());
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
  photo.image = decodeQuietly(path);
  if (photo.image.empty()) {
    photo.error = unreadable;
    return photo;
  }
  photo.metadata = readMetadata(path);
  return photo;
}
