// The identity of a photo file: its bytes are hashed as they are, never decoded.
#include "photo/identity.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <cerrno>
#include <cstring>
#include <vector>

bool identifyPhoto(const std::string& path, PhotoSource& source, std::string& error) {
  const std::size_t slash = path.rfind('/');
  source.name = slash == std::string::npos ? path : path.substr(slash + 1);
  // Only a regular file is opened: opening a device can act on it (a tape rewinds).
  struct stat status;
  if (::stat(path.c_str(), &status) != 0) {
    error = std::strerror(errno);
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    error = S_ISDIR(status.st_mode) ? "it is a folder" : "it is not a regular file";
    return false;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    error = fd < 0 ? std::strerror(errno) : "it is not a regular file";
    if (fd >= 0) ::close(fd);
    return false;
  }
  // The size is what was hashed, so the two always describe the same bytes.
  QCryptographicHash hash(QCryptographicHash::Sha256);
  std::vector<char> buffer(1 << 20);
  std::uint64_t size = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = std::strerror(errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    hash.addData(buffer.data(), static_cast<int>(n));
    size += static_cast<std::uint64_t>(n);
  }
  ::close(fd);
  source.size = size;
  source.sha256 = hash.result().toHex().toStdString();
  return true;
}
