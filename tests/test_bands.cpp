// Row bands: every stage run band by band, at every band height and with denormals flushed as the
// worker runs it, gives exactly the whole-image result; noise drawn band after band is the whole
// image's field; the denormal modes reach every thread of the library's pool and are undone.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <numeric>
#include <opencv2/core/utility.hpp>
#include <optional>

#include "filters/fpmode.hpp"
#include "pipeline/pipeline.hpp"
#include "tests/test_images.hpp"

namespace {

// The whole-image filter of a stage.
cv::Mat wholeImage(int id, const cv::Mat& src, int value) {
  static const std::map<int, void (*)(const cv::Mat&, int, cv::Mat&)> filters = {
      {kBilateralStage, filterBilateral},
      {kBlurStage, filterBlur},
      {kStretchCStage, filterStretchC},
      {kSmoothStage, filterSmooth},
      {kNoiseStage, filterNoise},
      {kWhiteToZeroStage, filterWhiteToZero},
      {kBlackToZeroStage, filterBlackToZero}};
  cv::Mat dst, gray;
  if (id == kStretchPStage) {
    filterStretchP(src, value, dst, gray);
  } else {
    filters.at(id)(src, value, dst);
  }
  return dst;
}

// True when the calling thread really computes with flushed denormals, not just has the bits set:
// a denormal operand reads as zero and a product too small to be normal becomes zero.
bool arithmeticFlushes() {
  volatile float denormal = 1e-40f, smallest = 1e-30f;
  return denormal * 1.0f == 0.0f && smallest * 1e-10f == 0.0f;
}

}  // namespace

// One test per slider, so that the test runner can spread them over the cores.
class BandsOf : public ::testing::TestWithParam<int> {};

TEST_P(BandsOf, EveryBandHeightGivesTheWholeImageResult) {
  const StageSlider& slider = kStageTable[GetParam()];
  RunControl control;
  const auto check = [&](const StageSlider& slider, const cv::Mat& image, int position,
                         const std::vector<int>& heights) {
    const cv::RNG saved = cv::theRNG();
    const cv::Mat expected = wholeImage(slider.id, image, position);
    for (int height : heights) {  // 0 leaves the band heights to the protocol
      Pipeline pipeline(image.clone());
      control.bandRows = height;
      cv::theRNG() = saved;
      // Random samples give colour differences of every size, so some bilateral weights are
      // denormal: flushing them must change no sample.
      const DenormalsFlushed flushed;
      ASSERT_TRUE(pipeline.move(slider, position, &control));
      ASSERT_EQ(countDifferences(pipeline.dstImage, expected), 0)
          << slider.label << " " << position << " on " << image.size() << ", bands of " << height;
    }
  };
  // 1x1, one row, one column, smaller than every kernel, and taller than the smoothing window, at
  // every position and band height; then bands in the middle of a photo larger than the kernels,
  // of heights that do not divide it, at the largest positions.
  const cv::Size sizes[] = {{1, 1}, {9, 1}, {1, 8}, {3, 4}, {7, 6}, {5, 13}};
  const cv::Mat photo = makePhoto(97, 61);
  for (const cv::Size size : sizes) {
    const cv::Mat image = makeRandom(size.height, size.width, size.area());
    std::vector<int> heights(image.rows + 1);
    std::iota(heights.begin(), heights.end(), 0);
    for (int position = 0; position <= slider.maximum; ++position)
      ASSERT_NO_FATAL_FAILURE(check(slider, image, position, heights));
  }
  check(slider, photo, slider.id == kWhiteToZeroStage ? 128 : slider.maximum, {1, 2, 7, 40, 96});
}
INSTANTIATE_TEST_SUITE_P(EverySlider, BandsOf, ::testing::Range(0, int(kStageTable.size())));

TEST(Bands, NoiseFieldDoesNotDependOnWhereTheDrawsAreSplit) {
  // Rows of 5000 pixels: the draws are split inside rows as well as between them.
  const cv::Mat image(7, 5000, CV_8UC3, cv::Scalar::all(128));
  cv::theRNG() = cv::RNG(12345);
  const cv::Mat whole = wholeImage(kNoiseStage, image, 100);
  for (int height : {1, 3, 6}) {
    cv::theRNG() = cv::RNG(12345);
    cv::Mat banded(image.size(), image.type());
    for (int start = 0; start < image.rows; start += height) {
      filterNoiseRows(image, 50.0, cv::theRNG(), banded,
                      cv::Range(start, std::min(image.rows, start + height)));
    }
    EXPECT_EQ(countDifferences(banded, whole), 0) << "bands of " << height;
  }
  // A later draw continues the sequence instead of repeating it.
  EXPECT_GT(countDifferences(wholeImage(kNoiseStage, image, 100), whole), 0);
}

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
