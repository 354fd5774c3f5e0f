// Mutated HEIC, AVIF, JPEG XL and DNG files through the whole loader (signature, header size,
// decode, metadata), as the decoder libraries are tested themselves: nothing may crash and no file
// may take over 2 s. The mutations come from a fixed seed per format, so a failure repeats; the
// file being loaded is always at /tmp/lumivet-fuzz-FORMAT.case, so a crash leaves its cause there.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "photo/load.hpp"
#include "tests/format_fixtures.hpp"
#include "tests/test_images.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Full length where the sanitizers watch; a short run in the plain build. Each format stops at its
// count or its time, whichever comes first, so the run stays near a minute in all.
#ifdef LUMIVET_SANITIZE
constexpr int kCases = 3000;
constexpr auto kBudget = std::chrono::seconds(14);
#else
constexpr int kCases = 300;
constexpr auto kBudget = std::chrono::seconds(3);
#endif
constexpr auto kHang = std::chrono::seconds(2);

// Photos claiming more than a small size are refused by the memory guard before decoding: the
// mutations that grow the header's size test the guard, not how fast a library fills memory.
const std::uint64_t kMemoryLimit = sessionMemory({640, 480});

Bytes mutate(const Bytes& seed, cv::RNG& rng) {
  Bytes b = seed;
  // Half the changes fall in the first bytes, where the headers and boxes are.
  const auto at = [&] {
    const int span = rng.uniform(0, 2) ? int(std::min<std::size_t>(b.size(), 512)) : int(b.size());
    return std::size_t(rng.uniform(0, std::max(span, 1)));
  };
  const int changes = rng.uniform(1, 4);
  for (int n = 0; n < changes && !b.empty(); ++n) {
    switch (rng.uniform(0, 5)) {
      case 0:  // flipped bits
        b[at()] ^= uchar(1 << rng.uniform(0, 8));
        break;
      case 1: {  // a byte at an edge value
        static const uchar edges[] = {0, 1, 0x7F, 0x80, 0xFF};
        b[at()] = edges[rng.uniform(0, 5)];
        break;
      }
      case 2: {  // a 32-bit field at an edge value: sizes, offsets, counts
        static const uint32_t edges[] = {0, 0xFFFFFFFF, 0x7FFFFFFF, 0x10000, 0xFFFF};
        const uint32_t value = edges[rng.uniform(0, 5)];
        const std::size_t p = at();
        for (std::size_t k = 0; k < 4 && p + k < b.size(); ++k) b[p + k] = uchar(value >> (8 * k));
        break;
      }
      case 3:  // cut short
        b.resize(at());
        break;
      default: {  // a run of bytes copied over another place
        const std::size_t from = at(), to = at();
        const std::size_t len = std::min<std::size_t>(
            {std::size_t(rng.uniform(1, 64)), b.size() - from, b.size() - to});
        std::copy_n(b.begin() + long(from), len, b.begin() + long(to));
      }
    }
  }
  return b;
}

struct Seed {
  const char* name;
  bool (*write)(const std::string&);
};

const cv::Mat& seedImage() {
  static const cv::Mat image = makePhoto(32, 40);
  return image;
}

FixtureOptions seedOptions() {
  FixtureOptions options;
  options.orientation = 6;
  options.icc = wideGamutProfile();
  options.exif = cameraExif(6);
  options.xmp = creatorXmp("Someone");
  return options;
}

const Seed kSeeds[] = {
    {"HEIC", [](const std::string& p) { return writeHeif(p, seedImage(), seedOptions()); }},
    {"AVIF", [](const std::string& p) { return writeHeif(p, seedImage(), seedOptions(), true); }},
    {"JXL", [](const std::string& p) { return writeJxl(p, seedImage(), seedOptions()); }},
    {"DNG", [](const std::string& p) { return writeDng(p, seedImage(), seedOptions()); }},
};

// Test names show the format, not the bytes of the parameter.
void PrintTo(const Seed& param, std::ostream* out) {
  *out << param.name;
}

class Fuzz : public ::testing::TestWithParam<Seed> {};

}  // namespace

TEST_P(Fuzz, MutatedFilesNeverCrashOrHang) {
  const Seed& seed = GetParam();
  const std::string casePath = std::string("/tmp/lumivet-fuzz-") + seed.name + ".case";
  ASSERT_TRUE(seed.write(casePath));
  const Bytes original = readBytes(casePath);
  ASSERT_FALSE(loadPhoto(casePath, kMemoryLimit).image.empty());

  // A load that never returns cannot fail an assertion: the watchdog ends the test instead.
  const int console = ::dup(STDERR_FILENO);
  std::atomic<bool> finished{false};
  std::atomic<Clock::rep> loadStarted{0};
  std::thread watchdog([&] {
    while (!finished) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      const Clock::rep started = loadStarted;
      if (started != 0 && Clock::now() - Clock::time_point(Clock::duration(started)) > kHang) {
        // The loader may have pointed stderr elsewhere while it reads.
        dprintf(console, "%s hangs the loader for over 2 s\n", casePath.c_str());
        std::_Exit(1);
      }
    }
  });
  cv::RNG rng(std::hash<std::string>()(seed.name));
  const auto start = Clock::now();
  Clock::duration slowest{};
  int cases = 0;
  for (; cases < kCases && Clock::now() - start < kBudget; ++cases) {
    writeBytes(casePath, mutate(original, rng));
    const auto before = Clock::now();
    loadStarted = before.time_since_epoch().count();
    const LoadedPhoto photo = loadPhoto(casePath, kMemoryLimit);
    loadStarted = 0;
    slowest = std::max(slowest, Clock::now() - before);
    // Whatever opens is an image the session can work on.
    ASSERT_TRUE(photo.image.empty() ? !photo.error.empty() : photo.image.type() == CV_8UC3);
  }
  finished = true;
  watchdog.join();
  ::close(console);
  EXPECT_LT(slowest, kHang);
  RecordProperty("cases", cases);
  EXPECT_GE(cases, kCases / 10);  // a run that did next to nothing proves nothing
  std::remove(casePath.c_str());
}

INSTANTIATE_TEST_SUITE_P(Formats, Fuzz, ::testing::ValuesIn(kSeeds),
                         [](const auto& info) { return std::string(info.param.name); });
