// The decoding helper's sandbox: a decoder that reaches for a key, loops, eats memory, writes past
// its picture or crashes only fails to open its photo, with the usual message, and the next photo
// opens; while a decode runs the worker is filtered, has no new privileges and holds only the
// descriptors it was given.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <opencv2/imgcodecs.hpp>
#include <set>
#include <thread>

#include "photo/load.hpp"
#include "tests/test_images.hpp"

namespace {

std::string tempPath(const std::string& name) {
  return "/tmp/lumivet-sandbox-" + std::to_string(getpid()) + "-" + name;
}

// A PNG the test decoders take on: it ends in the word they look for.
std::string misbehavingPhoto() {
  const std::string path = tempPath("misbehave.png");
  cv::imwrite(path, makePhoto(32, 48));
  std::ofstream(path, std::ios::app) << "misbehave";
  return path;
}

std::string field(const std::string& statusFile, const std::string& name) {
  std::ifstream in(statusFile);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(name + ":", 0) == 0)
      return line.substr(line.find_first_not_of(" \t", name.size() + 1));
  }
  return "";
}

// The worker of this process's helper: a process whose parent's parent is this one.
pid_t findWorker() {
  const auto parentOf = [](const std::string& pid) {
    std::ifstream stat("/proc/" + pid + "/stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t close = line.rfind(')');
    return close == std::string::npos ? -1 : std::atoi(line.c_str() + close + 4);
  };
  DIR* processes = ::opendir("/proc");
  pid_t found = -1;
  while (const dirent* entry = ::readdir(processes)) {
    const std::string pid = entry->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    const int parent = parentOf(pid);
    if (parent > 0 && parentOf(std::to_string(parent)) == ::getpid()) found = std::stoi(pid);
  }
  ::closedir(processes);
  return found;
}

struct Misbehaviour {
  const char* how;
  HelperEnd end;
};

void PrintTo(const Misbehaviour& misbehaviour, std::ostream* out) {
  *out << misbehaviour.how;
}

class Sandbox : public ::testing::TestWithParam<Misbehaviour> {};

}  // namespace

TEST_P(Sandbox, AMisbehavingDecoderOnlyFailsToOpenItsPhoto) {
  const std::string bad = misbehavingPhoto(), good = tempPath("good.png");
  cv::imwrite(good, makePhoto(32, 48));
  ::setenv("LUMIVET_TEST_DECODER", GetParam().how, 1);
  const LoadedPhoto photo = loadPhoto(bad, 0);
  const LoadedPhoto next = loadPhoto(good, 0);
  ::unsetenv("LUMIVET_TEST_DECODER");
  EXPECT_TRUE(photo.image.empty());
  EXPECT_NE(photo.error.find("could not be read as an image"), std::string::npos) << photo.error;
  EXPECT_EQ(photo.decoderEnd, GetParam().end);
  EXPECT_FALSE(photo.why.empty());
  EXPECT_EQ(next.image.size(), cv::Size(48, 32)) << next.error;
  std::remove(bad.c_str()), std::remove(good.c_str());
}

INSTANTIATE_TEST_SUITE_P(Decoders, Sandbox,
                         ::testing::Values(
#ifndef LUMIVET_SANITIZE  // the sanitizers' build runs its helper unfiltered and unlimited
                             Misbehaviour{"open-key", HelperEnd::kFilterKilled},
                             Misbehaviour{"allocate", HelperEnd::kOutOfMemory},
#endif
                             Misbehaviour{"loop", HelperEnd::kTimedOut},
                             Misbehaviour{"oversize", HelperEnd::kCrashed},
                             Misbehaviour{"crash", HelperEnd::kCrashed}),
                         [](const auto& info) {
                           std::string name = info.param.how;
                           name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                           return name;
                         });

TEST(Sandbox, TheWorkerIsFilteredAndHoldsOnlyItsOwnDescriptors) {
  const std::string bad = misbehavingPhoto();
  ::setenv("LUMIVET_TEST_DECODER", "loop", 1);
  auto load = std::async(std::launch::async, [&] { return loadPhoto(bad, 0); });
  // The decode has begun once the worker holds the memory for the pixels.
  pid_t worker = -1;
  const auto decoding = [&] {
    worker = findWorker();
    return worker > 0 && ::access(("/proc/" + std::to_string(worker) + "/fd/6").c_str(), F_OK) == 0;
  };
  for (int i = 0; i < 150 && !decoding(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(decoding());
  const std::string proc = "/proc/" + std::to_string(worker);
  EXPECT_EQ(field(proc + "/status", "NoNewPrivs"), "1");
#ifndef LUMIVET_SANITIZE
  EXPECT_EQ(field(proc + "/status", "Seccomp"), "2");
#endif
  std::set<std::string> held;
  DIR* fds = ::opendir((proc + "/fd").c_str());
  ASSERT_NE(fds, nullptr);
  while (const dirent* entry = ::readdir(fds)) {
    if (entry->d_name[0] == '.') continue;
    char target[256] = {};
    ::readlink((proc + "/fd/" + entry->d_name).c_str(), target, sizeof target - 1);
    held.insert(std::string(entry->d_name) + " " + std::string(target).substr(0, 6));
  }
  ::closedir(fds);
  // /dev/null for the standard ones, the photo, the requests, the replies, the pixels' memory.
  const std::set<std::string> given = {
#ifndef LUMIVET_SANITIZE
      "2 /dev/n",
#endif
      "0 /dev/n", "1 /dev/n", "3 " + bad.substr(0, 6), "4 socket", "5 pipe:[", "6 /memfd"};
  for (const std::string& fd : held) {
    if (fd.rfind("2 ", 0) == 0 && given.count("2 /dev/n") == 0) continue;  // the console
    EXPECT_TRUE(given.count(fd)) << "the worker holds " << fd;
  }
  EXPECT_EQ(load.get().decoderEnd, HelperEnd::kTimedOut);
  ::unsetenv("LUMIVET_TEST_DECODER");
  std::remove(bad.c_str());
}
