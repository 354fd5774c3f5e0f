// Flushing denormals: the modes reach every thread of the library's pool, come back undone, and
// change no sample of any stage.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "stages/fpmode.hpp"
#include "stages/stages.hpp"
#include "tests/test_images.hpp"

namespace {

// True when the calling thread really computes with flushed denormals, not just has the bits set:
// a denormal operand reads as zero and a product too small to be normal becomes zero.
bool arithmeticFlushes() {
  volatile float denormal = 1e-40f;
  volatile float smallest = 1e-30f;
  const float read = denormal * 1.0f;
  const float product = smallest * 1e-10f;
  return read == 0.0f && product == 0.0f;
}

struct PoolRun {
  std::set<std::thread::id> threads;
  int invocations = 0;
  int flushedInvocations = 0;
};

// Runs a parallel loop through the library's pool and records, per body invocation, whether that
// thread computed with flushed denormals. Each body waits a little so the workers get their share.
PoolRun probePool() {
  PoolRun run;
  std::mutex lock;
  cv::parallel_for_(cv::Range(0, 48), [&](const cv::Range& range) {
    for (int i = range.start; i < range.end; ++i) {
      const bool flushed = denormalsFlushed() && arithmeticFlushes();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      std::lock_guard<std::mutex> hold(lock);
      run.threads.insert(std::this_thread::get_id());
      ++run.invocations;
      run.flushedInvocations += flushed ? 1 : 0;
    }
  });
  return run;
}

}  // namespace

TEST(DenormalsFlushed, ReachesEveryWorkerOfThePoolAndIsUndoneAfterwards) {
  ASSERT_FALSE(denormalsFlushed());
  ASSERT_FALSE(arithmeticFlushes());
  std::set<std::thread::id> threads;
  // Plain, flushed, plain again: the pool's threads must follow the caller each time, also after
  // they have run flushed work.
  for (bool flush : {false, true, false, true}) {
    PoolRun run;
    if (flush) {
      const DenormalsFlushed mode;
      EXPECT_TRUE(arithmeticFlushes());
      run = probePool();
    } else {
      run = probePool();
    }
    EXPECT_EQ(run.invocations, 48);
    EXPECT_EQ(run.flushedInvocations, flush ? run.invocations : 0) << "flush " << flush;
    threads.insert(run.threads.begin(), run.threads.end());
    EXPECT_FALSE(denormalsFlushed());
    EXPECT_FALSE(arithmeticFlushes());
  }
  // Otherwise the checks above said nothing about the workers.
  if (cv::getNumThreads() > 1) {
    EXPECT_GT(threads.size(), 1u);
  }
}

TEST(DenormalsFlushed, NestedScopesRestoreTheModesTheyFound) {
  {
    const DenormalsFlushed outer;
    {
      const DenormalsFlushed inner;
      EXPECT_TRUE(denormalsFlushed());
    }
    EXPECT_TRUE(denormalsFlushed());
    EXPECT_TRUE(arithmeticFlushes());
  }
  EXPECT_FALSE(denormalsFlushed());
  EXPECT_FALSE(arithmeticFlushes());
}

namespace {

void discardDisplay(const cv::Mat&) {}

// The photo with strong Gaussian noise, as from a high-ISO shot: many colour differences of the
// size whose bilateral weights are denormal.
cv::Mat makeNoisyPhoto(int rows, int cols) {
  const cv::Mat photo = makePhoto(rows, cols, 3);
  cv::Mat noise(photo.size(), CV_16SC3);
  cv::RNG rng(25);
  rng.fill(noise, cv::RNG::NORMAL, 0, 25);
  cv::Mat noisy;
  cv::add(photo, noise, noisy, cv::noArray(), CV_8U);
  return noisy;
}

// One slider event of `slider` at `position` on a fresh base, as the first move after loading.
cv::Mat runStage(const StageSlider& slider, int position, const cv::Mat& image) {
  resetStages();
  srcImage = image.clone();
  *slider.value = position;
  slider.handler(0, nullptr);
  return dstImage.clone();
}

}  // namespace

TEST(DenormalsFlushed, NoStageChangesASample) {
  ASSERT_FALSE(denormalsFlushed());
  setDisplayFunction(discardDisplay);
  const std::vector<std::pair<std::string, cv::Mat>> images = {
      {"photo", makePhoto(45, 67)},
      {"noisy photo", makeNoisyPhoto(45, 67)},
      {"random", makeRandom(33, 41)},
  };
  for (const StageSlider& slider : kStageTable) {
    const int m = slider.maximum;
    const std::set<int> positions = {0, 1, 2, 3, 5, m / 4, m / 2, 3 * m / 4, m};
    for (const auto& [name, image] : images) {
      for (int position : positions) {
        // The noise stage draws from the library's generator: both runs start from one state.
        const cv::RNG saved = cv::theRNG();
        const cv::Mat plain = runStage(slider, position, image);
        cv::theRNG() = saved;
        // Without this the comparison below would not tell the modes apart from other causes.
        ASSERT_EQ(countDifferences(runStage(slider, position, image), plain), 0)
            << slider.label << " does not repeat its output from the same generator state";
        cv::theRNG() = saved;
        cv::Mat flushed;
        {
          const DenormalsFlushed mode;
          flushed = runStage(slider, position, image);
        }
        ASSERT_EQ(flushed.size(), plain.size());
        EXPECT_EQ(countDifferences(flushed, plain), 0)
            << slider.label << " at " << position << " on the " << name;
      }
    }
  }
  setDisplayFunction(nullptr);
  resetStages();
}
