// Starting the decoding helper, talking to it within its deadline, and checking what it says.
#include "photo/sandbox.hpp"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "photo/sandbox_protocol.hpp"

extern char** environ;

namespace {

using namespace sandbox;
using Clock = std::chrono::steady_clock;

// A helper gets at least this long for anything, and its memory limit never goes below the floor:
// the libraries' own tables and every thread's stack.
constexpr auto kShortest = std::chrono::seconds(2);
constexpr auto kFileReadPer100Mb = std::chrono::seconds(1);
const rlim_t kMemoryFloor =
    (rlim_t(256) << 20) +
    (rlim_t(16) << 20) * rlim_t(std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN)));

// lumivet-decode beside the tool (a build), else where an installation keeps it.
std::string helperPath() {
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "";
  const std::string exe(self, std::size_t(n));
  const std::string folder = exe.substr(0, exe.rfind('/'));
  for (const std::string& candidate :
       {folder + "/lumivet-decode", folder + "/../libexec/lumivet-tool/lumivet-decode"}) {
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

// A descriptor number of 10 or more: moved to 3 in the helper, it cannot land on 0 to 2.
int high(int fd) {
  const int moved = fd >= 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 10) : -1;
  if (fd >= 0) ::close(fd);
  return moved;
}

// The decoding helper, started once with posix_spawn (never a fork of this process, whose threads
// a copy would not have) and asked for a worker per photo. Threads of the batch share it.
class DecodingServer {
 public:
  // Starts a worker for the photo open as `photo`; its PID, a pidfd of it (or -1), the tool's end
  // of its request socket and of its reply pipe. False when no worker could be started.
  bool startWorker(int photo, const char* mode, pid_t& pid, int& pidfd, int& request, int& reply) {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (control_ < 0 && !start()) return false;
      if (askForWorker(photo, mode, pid, pidfd, request, reply)) return true;
      stop();  // it died: once more with a fresh one
    }
    return false;
  }

  // Starts the helper now, so that its setting up overlaps with the tool's own.
  void warm() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (control_ < 0) start();
  }

  static DecodingServer& instance() {
    static DecodingServer server;
    return server;
  }

 private:
  ~DecodingServer() { stop(); }

  bool start() {
    const std::string path = helperPath();
    int pair[2];
    if (path.empty() || ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
      return false;
    control_ = pair[0];
    const int end = high(pair[1]);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
#ifndef LUMIVET_SANITIZE
    // The libraries' complaints about damaged files go nowhere; under the sanitizers their
    // reports reach the console.
    ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
#endif
    ::posix_spawn_file_actions_adddup2(&actions, end, kControlFd);
    // No other descriptor reaches it: not the display's or the session bus's sockets.
    ::posix_spawn_file_actions_addclosefrom_np(&actions, kControlFd + 1);
    char* argv[] = {const_cast<char*>("lumivet-decode"), const_cast<char*>("serve"), nullptr};
    // Each worker is a fresh process whose memory is all new: faulted in a page at a time, a 12 MP
    // photo's decoding buffers cost more than the decoding itself on some machines. The C
    // library's allocator is asked for huge pages, 512 times fewer faults.
    std::vector<std::string> settings;
    std::string tunables = "GLIBC_TUNABLES=glibc.malloc.hugetlb=1";
    for (char** variable = environ; *variable; ++variable) {
      const std::string setting = *variable;
      if (setting.rfind("GLIBC_TUNABLES=", 0) == 0) {
        tunables = setting + ":glibc.malloc.hugetlb=1";
      } else {
        settings.push_back(setting);
      }
    }
    settings.push_back(tunables);
    std::vector<char*> envp;
    for (std::string& setting : settings) envp.push_back(setting.data());
    envp.push_back(nullptr);
    const bool spawned =
        end >= 0 && ::posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv, envp.data()) == 0;
    ::posix_spawn_file_actions_destroy(&actions);
    if (end >= 0) ::close(end);
    if (!spawned) stop();
    return spawned;
  }

  void stop() {
    if (control_ >= 0) ::close(control_);  // the helper ends when it reads the end of its socket
    control_ = -1;
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
    pid_ = -1;
  }

  bool askForWorker(int photo, const char* mode, pid_t& pid, int& pidfd, int& request, int& reply) {
    int pair[2] = {-1, -1}, pipe[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return false;
    if (::pipe2(pipe, O_CLOEXEC) != 0) {
      ::close(pair[0]), ::close(pair[1]);
      return false;
    }
    // The mode, and a test decoder the tests may ask for.
    std::string payload = mode;
    if (const char* test = std::getenv("LUMIVET_TEST_DECODER"))
      payload += std::string(1, '\0') + test;
    const std::uint32_t head[2] = {kWork, std::uint32_t(payload.size())};
    iovec data[2] = {{const_cast<std::uint32_t*>(head), sizeof head},
                     {payload.data(), payload.size()}};
    const int fds[3] = {photo, pair[1], pipe[1]};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof fds)] = {};
    msghdr message = {};
    message.msg_iov = data, message.msg_iovlen = 2;
    message.msg_control = control, message.msg_controllen = sizeof control;
    cmsghdr* part = CMSG_FIRSTHDR(&message);
    part->cmsg_level = SOL_SOCKET, part->cmsg_type = SCM_RIGHTS;
    part->cmsg_len = CMSG_LEN(sizeof fds);
    std::memcpy(CMSG_DATA(part), fds, sizeof fds);
    const bool sent = ::sendmsg(control_, &message, MSG_NOSIGNAL) > 0;
    ::close(pair[1]), ::close(pipe[1]);
    // The answer: the worker's PID and a pidfd of it.
    std::uint32_t answer[2] = {0, 0};
    std::int32_t number = -1;
    iovec parts[2] = {{answer, sizeof answer}, {&number, sizeof number}};
    alignas(cmsghdr) char received[CMSG_SPACE(sizeof(int))] = {};
    msghdr reply_ = {};
    reply_.msg_iov = parts, reply_.msg_iovlen = 2;
    reply_.msg_control = received, reply_.msg_controllen = sizeof received;
    pollfd ready = {control_, POLLIN, 0};
    const bool answered =
        sent && ::poll(&ready, 1, 10000) == 1 &&
        ::recvmsg(control_, &reply_, MSG_CMSG_CLOEXEC) == ssize_t(sizeof answer + sizeof number) &&
        answer[0] == kPid && number > 0;
    pidfd = -1;
    const cmsghdr* got = CMSG_FIRSTHDR(&reply_);
    if (got && got->cmsg_type == SCM_RIGHTS) std::memcpy(&pidfd, CMSG_DATA(got), sizeof pidfd);
    if (!answered) {
      if (pidfd >= 0) ::close(pidfd);
      ::close(pair[0]), ::close(pipe[0]);
      return false;
    }
    pid = number, request = pair[0], reply = pipe[0];
    return true;
  }

  std::mutex mutex_;
  int control_ = -1;
  pid_t pid_ = -1;
};

// One photo's worker, as the tool sees it: its requests, its replies, and a way to stop it.
class Helper {
 public:
  Helper(int photo, const char* mode) {
    if (!DecodingServer::instance().startWorker(photo, mode, pid_, pidfd_, request_, reply_))
      pid_ = -1;
  }
  ~Helper() {
    if (pid_ > 0 && !ended_) stopWorker();
    for (const int fd : {request_, reply_, pidfd_}) {
      if (fd >= 0) ::close(fd);
    }
  }
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;

  bool started() const { return pid_ > 0; }

  // The next frame, if one comes whole before `deadline`; a frame longer than the protocol allows
  // is refused. The end of the worker, which the helper adds, is kept aside.
  bool read(std::uint32_t& tag, std::string& payload, Clock::time_point deadline) {
    for (;;) {
      std::uint32_t head[2];
      if (!readExactly(head, sizeof head, deadline) || head[1] > kMaxFrameBytes) return false;
      tag = head[0];
      payload.resize(head[1]);
      if (!readExactly(payload.data(), payload.size(), deadline)) return false;
      if (tag != kExit) return true;
      if (payload.size() == sizeof status_) std::memcpy(&status_, payload.data(), sizeof status_);
      ended_ = true;
      return false;
    }
  }

  // Hands over the memory for the pixels with the request to decode into it.
  bool send(int memory) {
    const std::uint32_t head[2] = {kDecode, 0};
    iovec data = {const_cast<std::uint32_t*>(head), sizeof head};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message = {};
    message.msg_iov = &data, message.msg_iovlen = 1;
    message.msg_control = control, message.msg_controllen = sizeof control;
    cmsghdr* part = CMSG_FIRSTHDR(&message);
    part->cmsg_level = SOL_SOCKET, part->cmsg_type = SCM_RIGHTS;
    part->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(part), &memory, sizeof memory);
    return ::sendmsg(request_, &message, MSG_NOSIGNAL) == ssize_t(sizeof head);
  }

  void closeRequests() {
    if (request_ >= 0) ::close(request_);
    request_ = -1;
  }

  // Limits its memory and processor time, for good: the hard limits too.
  void limit(rlim_t data, rlim_t seconds) {
    const rlimit memory = {data, data}, time = {seconds, seconds};
#ifndef LUMIVET_SANITIZE
    ::prlimit(pid_, RLIMIT_DATA, &memory, nullptr);
#else
    (void)memory;  // the sanitizers reserve far more address space than any photo needs
#endif
    ::prlimit(pid_, RLIMIT_CPU, &time, nullptr);
  }

  // Waits for the word of its end, until `deadline`, then stops it; says how it ended.
  HelperEnd finish(Clock::time_point deadline, bool replied) {
    std::uint32_t tag = 0;
    std::string payload;
    while (!ended_ && read(tag, payload, deadline)) {
    }
    if (!ended_) {
      stopWorker();
      // The helper reaps it at once and says so.
      const auto grace = Clock::now() + std::chrono::seconds(2);
      while (!ended_ && read(tag, payload, grace)) {
      }
      if (!ended_) return HelperEnd::kCrashed;  // the helper itself is gone
    }
    if (timedOut_) return HelperEnd::kTimedOut;
    if (WIFSIGNALED(status_)) {
      switch (WTERMSIG(status_)) {
        case SIGSYS:
          return HelperEnd::kFilterKilled;
        case SIGXCPU:
          return HelperEnd::kTimedOut;
        default:
          return HelperEnd::kCrashed;
      }
    }
    if (WIFEXITED(status_) && WEXITSTATUS(status_) == 70) return HelperEnd::kNotStarted;
    return WIFEXITED(status_) && WEXITSTATUS(status_) == 0 && replied ? HelperEnd::kReplied
                                                                      : HelperEnd::kCrashed;
  }

  bool timedOut() const {
    return timedOut_;
  }

 private:
  void stopWorker() {
    timedOut_ = true;
    if (pidfd_ >= 0) {
      ::syscall(SYS_pidfd_send_signal, pidfd_, SIGKILL, nullptr, 0);
    } else {
      ::kill(pid_, SIGKILL);
    }
  }

  bool readExactly(void* data, std::size_t size, Clock::time_point deadline) {
    char* at = static_cast<char*>(data);
    while (size > 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) {
        timedOut_ = !ended_;
        return false;
      }
      pollfd ready = {reply_, POLLIN, 0};
      const int polled = ::poll(&ready, 1, int(std::min<long long>(left, 1000)));
      if (polled < 0 && errno == EINTR) continue;
      if (polled <= 0) continue;
      const ssize_t n = ::read(reply_, at, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      at += n, size -= std::size_t(n);
    }
    return true;
  }

  pid_t pid_ = -1;
  int pidfd_ = -1, request_ = -1, reply_ = -1;
  int status_ = 0;
  bool ended_ = false, timedOut_ = false;
};

// Gives the memory of the pixels back when the last image that uses it goes. Anything else it is
// asked to allocate comes from the library's own allocator.
class MappedPixels : public cv::MatAllocator {
 public:
  cv::UMatData* allocate(int dims, const int* sizes, int type, void* data, size_t* step,
                         cv::AccessFlag flags, cv::UMatUsageFlags usage) const override {
    return cv::Mat::getStdAllocator()->allocate(dims, sizes, type, data, step, flags, usage);
  }
  bool allocate(cv::UMatData* data, cv::AccessFlag flags, cv::UMatUsageFlags usage) const override {
    return cv::Mat::getStdAllocator()->allocate(data, flags, usage);
  }
  void deallocate(cv::UMatData* data) const override {
    if (!data) return;
    ::munmap(data->origdata, data->size);
    delete data;
  }
};

// An image whose samples are the mapped memory at `data`, which it unmaps when it goes.
cv::Mat mappedImage(void* data, std::size_t bytes, int rows, int cols) {
  static MappedPixels allocator;
  cv::Mat image(rows, cols, CV_8UC3, data);
  cv::UMatData* owner = new cv::UMatData(&allocator);
  owner->data = owner->origdata = static_cast<uchar*>(data);
  owner->size = bytes;
  owner->refcount = 1;
  image.u = owner;
  image.allocator = &allocator;
  return image;
}

// A few words for the user, from whatever the helper said.
std::string printable(const std::string& text) {
  std::string out;
  for (const char c : text.substr(0, 200)) out += (c >= 32 && c < 127) ? c : '?';
  return out;
}

const char* describe(HelperEnd end) {
  switch (end) {
    case HelperEnd::kNotStarted:
      return "the decoding helper could not be started";
    case HelperEnd::kFilterKilled:
      return "its decoder made a call the sandbox forbids, and was stopped";
    case HelperEnd::kTimedOut:
      return "its decoder took too long, and was stopped";
    case HelperEnd::kOutOfMemory:
      return "its decoder ran out of the memory it was given";
    case HelperEnd::kCrashed:
      return "its decoder crashed";
    case HelperEnd::kBadReply:
      return "its decoder gave a malformed answer";
    default:
      return "";
  }
}

// The deadline of a decode of `pixels` pixels: at least 2 s, and the family's time for 50 MP, in
// proportion.
Clock::time_point decodeDeadline(double pixels, std::uint32_t secondsPer50Mp) {
  const double seconds = std::max(2.0, std::min(600u, secondsPer50Mp) * pixels / 50e6);
  return Clock::now() + std::chrono::milliseconds(long(seconds * 1000));
}

}  // namespace

void startDecodingHelper() {
  DecodingServer::instance().warm();
}

int openRegularFile(const std::string& path) {
  struct stat status, opened;
  const int fd = ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)
                     ? ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)
                     : -1;
  if (fd >= 0 && (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) ||
                  opened.st_ino != status.st_ino || opened.st_dev != status.st_dev)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

SandboxedPhoto decodeInSandbox(int fd, const std::function<bool(cv::Size)>& fits) {
  SandboxedPhoto result;
  struct stat status;
  const off_t fileSize = ::fstat(fd, &status) == 0 ? status.st_size : 0;
  Helper helper(fd, "photo");
  // Waits for the helper to end and says how the photo came back: a helper that died says more of
  // what went wrong than a reply cut short.
  const auto settle = [&](HelperEnd end, Clock::time_point deadline, const std::string& why) {
    const HelperEnd process = helper.finish(deadline, end == HelperEnd::kReplied);
    if (end == HelperEnd::kRefused) {
      result.end = end;
    } else if (end == HelperEnd::kReplied || end == HelperEnd::kCrashed) {
      result.end = process;
    } else {
      const bool stopped = process == HelperEnd::kFilterKilled || process == HelperEnd::kTimedOut;
      result.end = stopped ? process : end;
    }
    result.why = result.end == HelperEnd::kReplied ? why : describe(result.end);
    if (result.end != HelperEnd::kReplied) result.image.release();
    return result;
  };
  if (!helper.started()) return settle(HelperEnd::kNotStarted, Clock::now(), "");

  auto deadline = Clock::now() + kShortest + kFileReadPer100Mb * (fileSize >> 27);
  std::uint32_t tag = 0;
  std::string payload;
  if (!helper.read(tag, payload, deadline)) return settle(HelperEnd::kCrashed, deadline, "");
  if (tag == kFail) return settle(HelperEnd::kReplied, deadline, printable(payload));
  Header header;
  if (tag != kHead || payload.size() != sizeof header)
    return settle(HelperEnd::kBadReply, deadline, "");
  std::memcpy(&header, payload.data(), sizeof header);
  const std::uint64_t pixels =
      std::uint64_t(std::max(0, header.width)) * std::max(0, header.height);
  if (pixels == 0 || pixels > (std::uint64_t(1) << 34))
    return settle(HelperEnd::kBadReply, deadline, "");
  result.size = cv::Size(header.width, header.height);
  if (!fits(result.size)) {
    helper.closeRequests();
    return settle(HelperEnd::kRefused, Clock::now() + kShortest, "");
  }

  // The pixels come back in memory sized from the header and sealed, so that the helper cannot
  // make it larger or smaller than the tool maps.
  const int memory = ::memfd_create("lumivet-pixels", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  const std::size_t bytes = std::size_t(pixels) * 3;
  if (memory < 0 || ::ftruncate(memory, off_t(bytes)) != 0 ||
      ::fcntl(memory, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
    if (memory >= 0) ::close(memory);
    return settle(HelperEnd::kOutOfMemory, Clock::now(), "");
  }
  deadline = decodeDeadline(double(pixels), header.secondsPer50Mp);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(deadline - Clock::now());
  helper.limit(rlim_t(fileSize) + rlim_t(std::min(header.bytesPerPixel, 256u)) * rlim_t(pixels) +
                   kMemoryFloor,
               rlim_t(seconds.count()) * 2 + 10);
  const bool sent = helper.send(memory);
  Done done;
  MetadataBlocks blocks;
  bool whole = sent, ended = false;
  std::string failure;
  while (whole && !ended && helper.read(tag, payload, deadline)) {
    if (tag == kFail) {
      failure = printable(payload);
      break;
    }
    if (tag == kDone && payload.size() == sizeof done)
      std::memcpy(&done, payload.data(), sizeof done);
    if (tag == kNote) result.note = printable(payload);
    if (tag == kExif) blocks.exif.assign(payload.begin(), payload.end());
    if (tag == kIptc) blocks.iptc.assign(payload.begin(), payload.end());
    if (tag == kXmp) blocks.xmp = payload;
    if (tag == kIcc) blocks.icc.assign(payload.begin(), payload.end());
    ended = tag == kEnd;
  }
  if (!failure.empty()) {
    ::close(memory);
    if (failure == "out of memory") return settle(HelperEnd::kOutOfMemory, deadline, "");
    return settle(HelperEnd::kReplied, deadline, failure);
  }
  // The picture must be the one the header described, upright or turned a quarter.
  const bool sizeKept = (done.rows == header.height && done.cols == header.width) ||
                        (done.rows == header.width && done.cols == header.height);
  if (!ended || !sizeKept) {
    ::close(memory);
    return settle(helper.timedOut() ? HelperEnd::kTimedOut
                  : ended           ? HelperEnd::kBadReply
                                    : HelperEnd::kCrashed,
                  deadline, "");
  }
  // The worker has ended (its end was read), so the memory is this process's alone: the image
  // keeps it rather than a copy.
  const HelperEnd workerEnd = helper.finish(deadline, true);
  if (workerEnd != HelperEnd::kReplied) {
    ::close(memory);
    return settle(workerEnd, deadline, "");
  }
  void* shared =
      ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, memory, 0);
  ::close(memory);
  if (shared == MAP_FAILED) return settle(HelperEnd::kOutOfMemory, deadline, "");
  result.image = mappedImage(shared, bytes, done.rows, done.cols);
  // A profile that is not an RGB one is not what the samples are in.
  if (profileSpace(blocks.icc) != ProfileSpace::kRgb) blocks.icc.clear();
  result.metadata = metadataOf(blocks);
  return settle(HelperEnd::kReplied, deadline, "");
}

bool readXmpInSandbox(int fd, std::string& packet) {
  Helper helper(fd, "metadata");
  if (!helper.started()) return false;
  const auto deadline = Clock::now() + kShortest * 5;
  std::uint32_t tag = 0;
  std::string payload;
  bool found = false, ended = false;
  while (!ended && helper.read(tag, payload, deadline)) {
    if (tag == kFail) break;
    if (tag == kXmp) packet = payload, found = true;
    ended = tag == kEnd;
  }
  return helper.finish(deadline, ended) == HelperEnd::kReplied && found;
}
