// lumivet-decode: reads photos for the tool, each in a process of its own that can do nothing
// else. Started once, it sets up its libraries (which takes far longer than a photo: loading them
// alone is a tenth of a second), and then for each photo starts a worker, a copy of itself made
// with fork (it has no threads of its own, so nothing can be left locked in the copy). The worker
// locks itself down (no new privileges, a seccomp filter that allows reading its photo, writing
// its replies, memory, threads and exit, and nothing that opens, creates, connects or executes),
// and only then reads a byte of the photo. See photo/sandbox_protocol.hpp for what they say to
// the tool.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <libheif/heif.h>
#include <libraw/libraw.h>
#include <poll.h>
#include <sched.h>
#include <seccomp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <thread>

#include "photo/colour.hpp"
#include "photo/decoders.hpp"
#include "photo/sandbox_protocol.hpp"

namespace {

using namespace sandbox;

// Exit statuses the tool tells apart from a crash.
constexpr int kReplied = 0, kCannotStart = 70;
// What the tool asked a test decoder to do, if anything.
std::string testDecoder;

bool writeAll(int fd, const void* data, std::size_t size) {
  const char* at = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, at, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += n, size -= std::size_t(n);
  }
  return true;
}

void reply(std::uint32_t tag, const void* data, std::size_t size) {
  size = std::min<std::size_t>(size, kMaxFrameBytes);
  const std::uint32_t head[2] = {tag, std::uint32_t(size)};
  if (!writeAll(kReplyFd, head, sizeof head) || !writeAll(kReplyFd, data, size)) std::_Exit(1);
}
void reply(std::uint32_t tag, const std::string& text) {
  reply(tag, text.data(), text.size());
}

[[noreturn]] void fail(const std::string& why) {
  reply(kFail, why);
  std::_Exit(kReplied);
}

// Everything a library would otherwise set up on first use by reading files (its plugins, the
// processor count, its own tables) happens here, before the sandbox closes.
void setUpLibraries() {
  // Time stamps the libraries convert would read the time zone file at each conversion: none is
  // shown, and a zone by rule needs no file.
  ::setenv("TZ", "UTC0", 1);
  ::tzset();
  // Nothing the worker says is for the user: no library looks for its translations.
  ::setenv("LC_ALL", "C", 1);
  ::unsetenv("LANGUAGE");
  std::setlocale(LC_ALL, "C");
  heif_init(nullptr);
  // The image library registers its codecs on first use, one of which reads its own settings.
  cv::Mat tiny(1, 1, CV_8UC3, cv::Scalar::all(0));
  for (const char* extension : {".png", ".jpg"}) {
    std::vector<unsigned char> coded;
    if (cv::imencode(extension, tiny, coded)) cv::imdecode(coded, cv::IMREAD_COLOR);
  }
  decodingThreads = int(std::max(1u, std::thread::hardware_concurrency()));
  cv::getNumberOfCPUs();
  cv::setNumThreads(decodingThreads);
  const auto raw = std::make_unique<LibRaw>();
  Exiv2::XmpParser::initialize();
  Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
  srgbProfile();
}

// Allows what decoding needs and kills the process on anything else.
bool closeSandbox() {
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
#ifdef LUMIVET_SANITIZE
  // The sanitizers' own reports open files and start processes: their build runs unfiltered.
  return true;
#else
  scmp_filter_ctx filter = seccomp_init(SCMP_ACT_KILL_PROCESS);
  if (!filter) return false;
  const auto allow = [&](int call) {
    return seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) == 0;
  };
  const auto allowOn = [&](int call, int fd) {
    return seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 1,
                            SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(fd))) == 0;
  };
  bool ok = allowOn(SCMP_SYS(read), kPhotoFd) && allowOn(SCMP_SYS(read), kRequestFd) &&
            allowOn(SCMP_SYS(recvmsg), kRequestFd) && allowOn(SCMP_SYS(write), kReplyFd) &&
            allowOn(SCMP_SYS(write), STDERR_FILENO) && allowOn(SCMP_SYS(writev), STDERR_FILENO) &&
            allowOn(SCMP_SYS(fstat), kPhotoFd) && allowOn(SCMP_SYS(lseek), kPhotoFd);
  // fstat through newfstatat on a descriptor only, never on a path.
  ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(newfstatat), 1,
                              SCMP_A3(SCMP_CMP_EQ, AT_EMPTY_PATH)) == 0;
  // Memory, threads (clone only for threads; clone3's flags cannot be looked at, so glibc is told
  // it does not exist and falls back to clone), time, signals and the end.
  for (const int call : {SCMP_SYS(brk),
                         SCMP_SYS(mmap),
                         SCMP_SYS(munmap),
                         SCMP_SYS(mremap),
                         SCMP_SYS(mprotect),
                         SCMP_SYS(madvise),
                         SCMP_SYS(futex),
                         SCMP_SYS(set_robust_list),
                         SCMP_SYS(rseq),
                         SCMP_SYS(sched_yield),
                         SCMP_SYS(sched_getaffinity),
                         SCMP_SYS(getpid),
                         SCMP_SYS(gettid),
                         SCMP_SYS(tgkill),
                         SCMP_SYS(rt_sigaction),
                         SCMP_SYS(rt_sigprocmask),
                         SCMP_SYS(rt_sigreturn),
                         SCMP_SYS(sigaltstack),
                         SCMP_SYS(nanosleep),
                         SCMP_SYS(clock_nanosleep),
                         SCMP_SYS(clock_gettime),
                         SCMP_SYS(gettimeofday),
                         SCMP_SYS(getrandom),
                         SCMP_SYS(close),
                         SCMP_SYS(exit),
                         SCMP_SYS(exit_group)})
    ok = ok && allow(call);
  // Naming a thread (the AV1 decoder does) and asking the memory's size are harmless. Looking at
  // a path (where the process runs from, whether a file is there), which libraries do on the way,
  // gets no answer: it opens nothing, but it says nothing either.
  ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(prctl), 1,
                              SCMP_A0(SCMP_CMP_EQ, PR_SET_NAME)) == 0;
  ok = ok && allow(SCMP_SYS(sysinfo));
  ok = ok && seccomp_rule_add(filter, SCMP_ACT_ERRNO(EACCES), SCMP_SYS(newfstatat), 1,
                              SCMP_A3(SCMP_CMP_NE, AT_EMPTY_PATH)) == 0;
  for (const int call :
       {SCMP_SYS(readlink), SCMP_SYS(readlinkat), SCMP_SYS(getcwd), SCMP_SYS(statx),
        SCMP_SYS(access), SCMP_SYS(faccessat), SCMP_SYS(faccessat2)})
    ok = ok && seccomp_rule_add(filter, SCMP_ACT_ERRNO(EACCES), call, 0) == 0;
  ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(clone), 1,
                              SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD)) == 0;
  ok = ok && seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0) == 0;
  ok = ok && seccomp_load(filter) == 0;
  seccomp_release(filter);
  return ok;
#endif
}

void limit(int resource, rlim_t soft, rlim_t hard) {
  const rlimit value = {soft, hard};
  ::setrlimit(resource, &value);
}

Bytes readPhoto() {
  struct stat status;
  if (::fstat(kPhotoFd, &status) != 0 || !S_ISREG(status.st_mode)) fail("not a regular file");
  Bytes bytes(std::size_t(status.st_size));
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::read(kPhotoFd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += std::size_t(n);
  }
  bytes.resize(done);
  return bytes;
}

// The memory file the tool made for the pixels, sent with the request.
int receiveMemory() {
  std::uint32_t head[2] = {0, 0};
  iovec data = {head, sizeof head};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  msghdr message = {};
  message.msg_iov = &data, message.msg_iovlen = 1;
  message.msg_control = control, message.msg_controllen = sizeof control;
  const ssize_t n = ::recvmsg(kRequestFd, &message, MSG_CMSG_CLOEXEC);
  const cmsghdr* part = CMSG_FIRSTHDR(&message);
  if (n != sizeof head || head[0] != kDecode || !part || part->cmsg_type != SCM_RIGHTS) return -1;
  int fd = -1;
  std::memcpy(&fd, CMSG_DATA(part), sizeof fd);
  return fd;
}

#ifdef LUMIVET_TEST_DECODERS
// Misbehaving decoders for the tests of the sandbox: LUMIVET_TEST_DECODER says how, for the photos
// that end in the word "misbehave" (which their readers ignore), so that a batch mixes them with
// ordinary ones.
void misbehave(const char* how, int memory, cv::Size size) {
  const std::string what = how;
  if (what == "open-key") {
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "/root";
    const int fd = ::open((home + "/.ssh/id_rsa").c_str(), O_RDONLY);
    fail("opened a key: " + std::to_string(fd));
  }
  if (what == "loop") {
    for (volatile bool forever = true; forever;) {
    }
  }
  if (what == "allocate") {
    for (std::size_t mb = 1;; mb *= 2) {
      void* p = std::malloc(mb << 20);
      if (!p) fail("out of memory");
      std::memset(p, 1, mb << 20);
    }
  }
  if (what == "oversize") {
    const std::size_t bytes = std::size_t(size.area()) * 3 * 4;
    void* pixels = ::mmap(nullptr, bytes, PROT_WRITE, MAP_SHARED, memory, 0);
    if (pixels != MAP_FAILED) std::memset(pixels, 255, bytes);  // past the file's end: SIGBUS
    const Done done = {size.height * 2, size.width * 2};
    reply(kDone, &done, sizeof done);
    reply(kEnd, "");
    std::_Exit(kReplied);
  }
  if (what == "crash") {
    volatile int* nowhere = nullptr;
    *nowhere = 1;
  }
}
#endif

// Hands the memory shared with the tool to the photo's image when it is made, if it is of its
// size: the decoders then write their result there, and nothing is copied. Anything else comes
// from the library's own allocator.
class SharedPixels : public cv::MatAllocator {
 public:
  SharedPixels(void* data, std::size_t size) : data_(static_cast<uchar*>(data)), size_(size) {}
  cv::UMatData* allocate(int dims, const int* sizes, int type, void* data, size_t* step,
                         cv::AccessFlag flags, cv::UMatUsageFlags usage) const override {
    std::size_t total = CV_ELEM_SIZE(type);
    for (int i = 0; i < dims; ++i) total *= std::size_t(sizes[i]);
    if (data || inUse_ || total != size_)
      return cv::Mat::getStdAllocator()->allocate(dims, sizes, type, data, step, flags, usage);
    std::size_t bytes = CV_ELEM_SIZE(type);
    for (int i = dims - 1; i >= 0; bytes *= std::size_t(sizes[i]), --i) step[i] = bytes;
    auto* shared = new cv::UMatData(this);
    shared->data = shared->origdata = data_;
    shared->size = size_;
    inUse_ = true;
    return shared;
  }
  bool allocate(cv::UMatData* data, cv::AccessFlag flags, cv::UMatUsageFlags usage) const override {
    return cv::Mat::getStdAllocator()->allocate(data, flags, usage);
  }
  void deallocate(cv::UMatData* data) const override {
    inUse_ = false;
    delete data;
  }

 private:
  uchar* data_;
  std::size_t size_;
  mutable bool inUse_ = false;
};

// Decodes into the memory file the tool sized from the header, and says what it holds.
void decodeInto(const Bytes& file, const PhotoDecoder& decoder, int memory, cv::Size size) {
#ifdef LUMIVET_TEST_DECODERS
  static const std::string kMark = "misbehave";
  if (!testDecoder.empty() && file.size() >= kMark.size() &&
      std::equal(kMark.begin(), kMark.end(), file.end() - long(kMark.size())))
    misbehave(testDecoder.c_str(), memory, size);
#endif
  const std::size_t bytes = std::size_t(size.area()) * 3;
  // Mapped whole at once: one by one, the pages would each cost a fault.
  void* pixels =
      ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, memory, 0);
  if (pixels == MAP_FAILED) fail("cannot map the memory for the pixels");
  SharedPixels shared(pixels, bytes);
  DecodedPhoto photo;
  photo.image.allocator = &shared;
  try {
    if (!decoder.decode(file, photo) || photo.image.empty() || photo.image.type() != CV_8UC3)
      fail("damaged or not an image");
  } catch (const std::bad_alloc&) {
    fail("out of memory");
  } catch (...) {
    fail("damaged or not an image");
  }
  // The header said the size: a picture of another area is not the one it describes.
  if (photo.image.total() != std::size_t(size.area()))
    fail("the picture is not the size its header says");
  if (photo.image.data != pixels) {
    cv::Mat there(photo.image.rows, photo.image.cols, CV_8UC3, pixels);
    photo.image.copyTo(there);
  }
  const Done done = {photo.image.rows, photo.image.cols};
  photo.image.release();
  ::munmap(pixels, bytes);
  // The samples are RGB now, whatever the file held: the profile saved with them must be too.
  photo.metadata.icc = profileForRgbSamples(photo.metadata.icc);
  const MetadataBlocks blocks = metadataBlocks(photo.metadata);
  reply(kDone, &done, sizeof done);
  reply(kNote, photo.note);
  reply(kExif, blocks.exif.data(), blocks.exif.size());
  reply(kIptc, blocks.iptc.data(), blocks.iptc.size());
  reply(kXmp, blocks.xmp);
  reply(kIcc, blocks.icc.data(), blocks.icc.size());
  reply(kEnd, "");
}

// The worker: descriptors 3, 4 and 5 are its photo, requests and replies.
[[noreturn]] void work(const std::string& mode) {
  struct stat status;
  if (::fstat(kPhotoFd, &status) != 0) std::_Exit(kCannotStart);
  limit(RLIMIT_CORE, 0, 0);
  // Until the tool sets the limits the photo's size calls for: enough to read the file and its
  // header. The hard limits stay the tool's to set, and the filter keeps this process from
  // raising its own.
#ifndef LUMIVET_SANITIZE
  limit(RLIMIT_DATA, rlim_t(status.st_size) * 2 + (rlim_t(256) << 20), RLIM_INFINITY);
#endif
  limit(RLIMIT_CPU, 60, RLIM_INFINITY);
  if (!closeSandbox()) std::_Exit(kCannotStart);

  const Bytes file = readPhoto();
  if (mode == "metadata") {
    MetadataBlocks blocks;
    try {
      blocks = metadataBlocks(readMetadata(file));
    } catch (...) {
      fail("damaged metadata");
    }
    reply(kXmp, blocks.xmp);
    reply(kEnd, "");
    std::_Exit(kReplied);
  }
  const PhotoDecoder& decoder = decoderFor(file);
  cv::Size size;
  bool sized = false;
  try {
    sized = decoder.readSize(file, size) && size.width > 0 && size.height > 0;
  } catch (...) {
  }
  if (!sized) fail("damaged or not an image");
  const Header header = {size.width, size.height, std::uint32_t(decoder.bytesPerPixel),
                         std::uint32_t(decoder.secondsPer50Mp)};
  reply(kHead, &header, sizeof header);
  const int memory = receiveMemory();
  if (memory < 0) std::_Exit(kReplied);  // the tool refused the photo
  decodeInto(file, decoder, memory, size);
  std::_Exit(kReplied);
}

// Whether this process runs no thread but its own: a copy made with fork gets only the thread
// that makes it, and a lock another thread held would stay locked in it for ever.
bool singleThreaded() {
  DIR* tasks = ::opendir("/proc/self/task");
  if (!tasks) return false;
  int count = 0;
  while (const dirent* entry = ::readdir(tasks)) count += entry->d_name[0] != '.';
  ::closedir(tasks);
  return count == 1;
}

// A descriptor number of 10 or more, so that moving three of them to 3, 4 and 5 in the worker
// cannot overwrite one with another.
int high(int fd) {
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
  ::close(fd);
  return moved;
}

// Receives a request for a worker: its mode (and the test decoder it should be), and its
// descriptors. False when the tool has gone.
bool receiveWork(std::string& mode, int fds[3]) {
  char payload[256] = {};
  std::uint32_t head[2] = {0, 0};
  iovec data[2] = {{head, sizeof head}, {payload, sizeof payload - 1}};
  alignas(cmsghdr) char control[CMSG_SPACE(3 * sizeof(int))];
  msghdr message = {};
  message.msg_iov = data, message.msg_iovlen = 2;
  message.msg_control = control, message.msg_controllen = sizeof control;
  const ssize_t n = ::recvmsg(kControlFd, &message, MSG_CMSG_CLOEXEC);
  if (n <= 0) return false;
  const cmsghdr* part = CMSG_FIRSTHDR(&message);
  fds[0] = fds[1] = fds[2] = -1;
  if (part && part->cmsg_type == SCM_RIGHTS && part->cmsg_len == CMSG_LEN(3 * sizeof(int)))
    std::memcpy(fds, CMSG_DATA(part), 3 * sizeof(int));
  const std::string text(payload, std::size_t(std::max<ssize_t>(0, n - ssize_t(sizeof head))));
  mode = text.substr(0, text.find('\0'));
  testDecoder = text.find('\0') == std::string::npos ? "" : text.substr(text.find('\0') + 1);
  return head[0] == kWork;
}

// Tells the tool the worker's PID, with a pidfd of it that stays valid whatever becomes of the
// number.
void announce(pid_t pid) {
  const int pidfd = int(::syscall(SYS_pidfd_open, pid, 0));
  const std::uint32_t head[2] = {kPid, sizeof(std::int32_t)};
  const std::int32_t number = pid;
  iovec data[2] = {{const_cast<std::uint32_t*>(head), sizeof head},
                   {const_cast<std::int32_t*>(&number), sizeof number}};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message = {};
  message.msg_iov = data, message.msg_iovlen = 2;
  if (pidfd >= 0) {
    message.msg_control = control, message.msg_controllen = sizeof control;
    cmsghdr* part = CMSG_FIRSTHDR(&message);
    part->cmsg_level = SOL_SOCKET, part->cmsg_type = SCM_RIGHTS;
    part->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(part), &pidfd, sizeof pidfd);
  }
  ::sendmsg(kControlFd, &message, MSG_NOSIGNAL);
  if (pidfd >= 0) ::close(pidfd);
}

}  // namespace

int main(int argc, char** argv) {
  // Only the descriptors the tool gave: whatever else a library opens is its own.
  ::close_range(kControlFd + 1, ~0U, 0);
  if (argc != 2 || std::string(argv[1]) != "serve") return kCannotStart;
  setUpLibraries();
  if (!singleThreaded()) return kCannotStart;
  sigset_t childEnds;
  sigemptyset(&childEnds);
  sigaddset(&childEnds, SIGCHLD);
  ::sigprocmask(SIG_BLOCK, &childEnds, nullptr);
  const int ended = ::signalfd(-1, &childEnds, SFD_CLOEXEC | SFD_NONBLOCK);
  if (ended < 0) return kCannotStart;
  std::map<pid_t, int> replies;  // each worker's reply pipe, for the word of its end
  for (;;) {
    pollfd ready[2] = {{kControlFd, POLLIN, 0}, {ended, POLLIN, 0}};
    if (::poll(ready, 2, -1) < 0) continue;
    if (ready[1].revents) {
      signalfd_siginfo info;
      while (::read(ended, &info, sizeof info) > 0) {
      }
      int status = 0;
      for (pid_t pid; (pid = ::waitpid(-1, &status, WNOHANG)) > 0;) {
        const auto found = replies.find(pid);
        if (found == replies.end()) continue;
        const std::uint32_t head[3] = {kExit, sizeof(std::int32_t), std::uint32_t(status)};
        writeAll(found->second, head, sizeof head);
        ::close(found->second);
        replies.erase(found);
      }
    }
    if (!ready[0].revents) continue;
    std::string mode;
    int fds[3];
    if (!receiveWork(mode, fds)) break;  // the tool has gone
    for (int& fd : fds) fd = fd >= 0 ? high(fd) : -1;
    if (fds[0] < 0 || fds[1] < 0 || fds[2] < 0) {
      for (const int fd : fds)
        if (fd >= 0) ::close(fd);
      announce(-1);
      continue;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::sigprocmask(SIG_UNBLOCK, &childEnds, nullptr);
      if (::dup2(fds[0], kPhotoFd) < 0 || ::dup2(fds[1], kRequestFd) < 0 ||
          ::dup2(fds[2], kReplyFd) < 0)
        std::_Exit(kCannotStart);
      ::close_range(kReplyFd + 1, ~0U, 0);
      work(mode);
    }
    ::close(fds[0]), ::close(fds[1]);
    if (pid > 0) {
      replies[pid] = fds[2];
    } else {
      ::close(fds[2]);
    }
    announce(pid);
  }
  return 0;
}
