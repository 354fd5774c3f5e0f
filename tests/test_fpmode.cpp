// Flushing denormals: the modes reach every thread of the library's pool, come back undone, and
// change no sample of any stage.
#include <gtest/gtest.h>

#include <atomic>
#include <opencv2/core/utility.hpp>
#include <optional>
#include <set>

#include "stages/fpmode.hpp"
#include "stages/stages.hpp"
#include "tests/test_images.hpp"

namespace {

// True when the calling thread really computes with flushed denormals, not just has the bits set:
// a denormal operand reads as zero and a product too small to be normal becomes zero.
bool arithmeticFlushes() {
  volatile float denormal = 1e-40f, smallest = 1e-30f;
  return denormal * 1.0f == 0.0f && smallest * 1e-10f == 0.0f;
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

TEST(DenormalsFlushed, ReachesTheWorkersOfThePoolAndIsUndoneAfterwards) {
  // Plain, flushed, plain again: the pool's threads follow the caller each time, also after they
  // have run flushed work.
  for (bool flush : {false, true, false}) {
    std::optional<DenormalsFlushed> mode;
    if (flush) mode.emplace();
    std::atomic<int> flushed = 0;
    cv::parallel_for_(cv::Range(0, 48), [&](const cv::Range& range) {
      if (denormalsFlushed() && arithmeticFlushes()) flushed += range.size();
    });
    EXPECT_EQ(flushed, flush ? 48 : 0) << "flush " << flush;
  }
  EXPECT_FALSE(denormalsFlushed() || arithmeticFlushes());
}

TEST(DenormalsFlushed, NoStageChangesASample) {
  // Uniformly random samples give colour differences of every size, including those whose
  // bilateral weights are denormal at each position.
  setDisplayFunction([](const cv::Mat&) {});
  for (const cv::Mat& image : {makePhoto(45, 67), makeRandom(33, 41)}) {
    for (const StageSlider& slider : kStageTable) {
      const int m = slider.maximum;
      for (int position : std::set<int>{0, 1, 2, 3, 5, m / 4, m / 2, m}) {
        // The noise stage draws from the library's generator: both runs start from one state.
        const cv::RNG saved = cv::theRNG();
        const cv::Mat plain = runStage(slider, position, image);
        cv::theRNG() = saved;
        const DenormalsFlushed mode;
        EXPECT_EQ(countDifferences(runStage(slider, position, image), plain), 0)
            << slider.label << " at " << position << " on " << image.size();
      }
    }
  }
  setDisplayFunction(nullptr);
  resetStages();
}
