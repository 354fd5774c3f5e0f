// Loading a photo without the codecs' own messages on stderr.
#include "app/load.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <new>
#include <opencv2/imgcodecs.hpp>

// The image codecs write their own complaints about damaged files straight to stderr ("libpng
// error: Read Error", "Premature end of JPEG file"). The user learns of a file that cannot be read
// from the message box, so stderr points at /dev/null while a file is decoded.
cv::Mat loadImage(const std::string& path) {
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
