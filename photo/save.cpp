// JPEG encoding and atomic file writing.
#include "photo/save.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <opencv2/imgcodecs.hpp>

#include "photo/disk.hpp"

bool encodeJpeg(const cv::Mat& image, std::vector<unsigned char>& bytes, std::string& error) {
  bytes.clear();
  if (image.empty()) {
    error = "there is no image to save";
    return false;
  }
  try {
    if (cv::imencode(".jpg", image, bytes) && !bytes.empty()) return true;
    error = "the JPEG encoder failed";
  } catch (const cv::Exception& e) {
    error = "the JPEG encoder failed: " + e.msg;
  } catch (const std::bad_alloc&) {
    error = "not enough memory to encode the image";
  }
  return false;
}

namespace {

std::string systemError(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

// Gives the file `temp` the name `path`. Unless `replace`, a file already at `path` stays and the
// call fails with EEXIST. Where the file system has no rename that keeps the target (NFS, say), a
// hard link fails the same way; only where there are no hard links either does a check come
// before a plain rename, with a moment between them.
int putInPlace(const std::string& temp, const std::string& path, bool replace) {
  const char* from = temp.c_str();
  const char* to = path.c_str();
  if (replace) return diskCalls.renameat(AT_FDCWD, from, AT_FDCWD, to, 0);
  if (diskCalls.renameat(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  if (::linkat(AT_FDCWD, from, AT_FDCWD, to, 0) == 0) {
    ::unlink(from);
    return 0;
  }
  if (errno == EEXIST) return -1;
  struct stat there;
  if (::lstat(to, &there) == 0) {
    errno = EEXIST;
    return -1;
  }
  return diskCalls.renameat(AT_FDCWD, from, AT_FDCWD, to, 0);
}

}  // namespace

bool writeFileAtomically(const std::string& path, const std::vector<unsigned char>& bytes,
                         std::string& error, bool replace) {
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  // The temporary name is short and of fixed length, so any target name the file system accepts
  // can be saved; a target name that is itself too long is refused before anything is written.
  std::string temp = folder + (folder.back() == '/' ? "" : "/") + ".lumivet-XXXXXX";
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const long nameMax = ::pathconf(folder.c_str(), _PC_NAME_MAX);
  if (nameMax > 0 && name.size() > static_cast<std::size_t>(nameMax)) {
    error = kNameTooLong;
    return false;
  }

  const int fd = ::mkstemp(temp.data());
  if (fd < 0) {
    error = errno == ENAMETOOLONG ? std::string(kNameTooLong)
                                  : systemError("cannot create a file in this folder");
    return false;
  }
  // mkstemp creates the file private to its owner; give it the permissions of a normal new file.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  static_cast<void>(::fchmod(fd, 0666 & ~mask));  // a private file is still a good result
  bool ok = writeAll(fd, bytes.data(), bytes.size());
  if (!ok) error = systemError("cannot write the file");
  if (ok && diskCalls.fsync(fd) != 0) {
    error = systemError("cannot flush the file to disk");
    ok = false;
  }
  if (::close(fd) != 0 && ok) {
    error = systemError("cannot finish writing the file");
    ok = false;
  }
  if (ok && putInPlace(temp, path, replace) != 0) {
    error = errno == ENAMETOOLONG ? std::string(kNameTooLong)
            : errno == EEXIST     ? std::string(kNameTaken)
                                  : systemError("cannot put the file in place");
    ok = false;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  // The new name lives in the folder, not in the file: until the folder itself reaches the disk,
  // a power cut can lose the name even though the file's data was flushed.
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0 || !syncFolder(dir)) {
    error = systemError("cannot flush the folder to disk");
    ok = false;
  }
  if (dir >= 0) ::close(dir);
  return ok;
}
