// Mutated HEIC, AVIF, JPEG XL, DNG and phone raw files (the last reach LibRaw by their content)
// through the whole loader (signature, header size,
// decode, metadata), as the decoder libraries are tested themselves: nothing may crash and no file
// may take over 2 s. The mutations come from a fixed seed per format, so a failure repeats; the
// file being loaded is always at /tmp/lumivet-fuzz-FORMAT.case, so a crash leaves its cause there.
#include <gtest/gtest.h>
#include <sys/time.h>

#include <chrono>
#include <cstring>
#include <map>

#include "photo/load.hpp"
#include "tests/format_fixtures.hpp"
#include "tests/test_images.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Full length where the sanitizers watch; a short run in the plain build. Each format stops at its
// count or its time, whichever comes first, so the run stays near a minute in all. Each file is
// read by a worker process of its own, a few hundredths of a second each (a tenth under the
// sanitizers): a run that did fewer than kFloor proves next to nothing.
#ifdef LUMIVET_SANITIZE
constexpr int kCases = 3000, kFloor = 50;
constexpr auto kBudget = std::chrono::seconds(14);
#else
constexpr int kCases = 300, kFloor = 15;
constexpr auto kBudget = std::chrono::seconds(3);
#endif

// Photos claiming more than a small size are refused by the memory guard before decoding: the
// mutations that grow the header's size test the guard, not how fast a library fills memory.
const std::uint64_t kMemoryLimit = sessionMemory({640, 480});

// Flipped bits, 32-bit fields (sizes, offsets, counts) set to edge values, the file cut short;
// half of them in the first bytes, where the headers and boxes are.
Bytes mutate(Bytes b, cv::RNG& rng) {
  static const uint32_t edges[] = {0, 0xFFFFFFFF, 0x7FFFFFFF, 0x10000, 0xFFFF, 0x80};
  for (int n = rng.uniform(1, 4); n > 0 && b.size() > 4; --n) {
    const int span = rng.uniform(0, 2) ? std::min<int>(int(b.size()), 512) : int(b.size());
    const std::size_t at = std::size_t(rng.uniform(0, span - 4));
    const int kind = rng.uniform(0, 3);
    if (kind == 0) b[at] ^= uchar(1 << rng.uniform(0, 8));
    if (kind == 1) std::memcpy(&b[at], &edges[rng.uniform(0, 6)], 4);
    if (kind == 2) b.resize(at);
  }
  return b;
}

const char* const kNames[] = {"HEIC", "AVIF", "JXL", "JXL", "DNG", "PhoneRaw"};  // by Kind

class Fuzz : public ::testing::TestWithParam<Kind> {};

}  // namespace

// Test names show the format.
void PrintTo(Kind kind, std::ostream* out) {
  *out << kNames[int(kind)];
}

TEST_P(Fuzz, MutatedFilesNeverCrashOrHang) {
  const std::string name = kNames[int(GetParam())], path = "/tmp/lumivet-fuzz-" + name + ".case";
  ASSERT_TRUE(writePhoto(GetParam(), path, makePhoto(32, 40), cameraOptions(6)));
  const Bytes original = readBytes(path);
  ASSERT_FALSE(loadPhoto(path, kMemoryLimit).image.empty());

  // A load that never returns cannot fail an assertion: an alarm ends the test instead ("Alarm
  // clock"), leaving the file at `path`. The helper stops a decode after 2 s itself.
  const itimerval hang = {{0, 0}, {5, 0}}, off = {};
  cv::RNG rng(std::hash<std::string>()(name));
  const auto start = Clock::now();
  int cases = 0;
  std::map<HelperEnd, int> ends;
  for (; cases < kCases && Clock::now() - start < kBudget; ++cases) {
    writeBytes(path, mutate(original, rng));
    ::setitimer(ITIMER_REAL, &hang, nullptr);
    const LoadedPhoto photo = loadPhoto(path, kMemoryLimit);
    ::setitimer(ITIMER_REAL, &off, nullptr);
    // Whatever opens is an image the session can work on; what does not says why.
    ASSERT_TRUE(photo.image.empty() ? !photo.error.empty() : photo.image.type() == CV_8UC3);
    // The sandbox contains a decoder that crashes, hangs or makes a call it forbids; each is still
    // a fault to look at, and leaves its file at `path`.
    ++ends[photo.decoderEnd];
    ASSERT_TRUE(photo.decoderEnd == HelperEnd::kReplied ||
                photo.decoderEnd == HelperEnd::kRefused ||
                photo.decoderEnd == HelperEnd::kOutOfMemory)
        << photo.why;
  }
  RecordProperty("cases", cases);
  RecordProperty("filterKilled", ends[HelperEnd::kFilterKilled]);
  EXPECT_GE(cases, kFloor);
  std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Formats, Fuzz,
                         ::testing::Values(Kind::heic, Kind::avif, Kind::jxlLossy, Kind::dng,
                                           Kind::phoneRaw),
                         [](const auto& info) { return kNames[int(info.param)]; });
