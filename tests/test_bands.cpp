// Row bands: every stage run band by band, at every band height, gives exactly the whole-image
// result; noise drawn band after band is the whole image's field; the denormal modes of a
// non-main running thread reach the library's pool.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <opencv2/core/utility.hpp>
#include <thread>

#include "stages/fpmode.hpp"
#include "stages/stages.hpp"
#include "tests/test_images.hpp"

namespace {

// The whole-image filter of a stage.
cv::Mat wholeImage(int id, const cv::Mat& src, int value) {
  cv::Mat dst, gray;
  switch (id) {
    case kBilateralStage:
      filterBilateral(src, value, dst);
      break;
    case kBlurStage:
      filterBlur(src, value, dst);
      break;
    case kStretchCStage:
      filterStretchC(src, value, dst);
      break;
    case kStretchPStage:
      filterStretchP(src, value, dst, gray);
      break;
    case kSmoothStage:
      filterSmooth(src, value, dst);
      break;
    case kNoiseStage:
      filterNoise(src, value, dst);
      break;
    case kWhiteToZeroStage:
      filterWhiteToZero(src, value, dst);
      break;
    case kBlackToZeroStage:
      filterBlackToZero(src, value, dst);
      break;
  }
  return dst;
}

}  // namespace

TEST(Bands, EveryBandHeightGivesTheWholeImageResult) {
  setDisplayFunction([](const cv::Mat&) {});
  RunControl control;
  setRunControl(&control);
  // 1x1, one row, one column, smaller than every kernel, and taller than the smoothing window.
  const cv::Size sizes[] = {{1, 1}, {9, 1}, {1, 8}, {3, 4}, {7, 6}, {5, 13}};
  for (const StageSlider& slider : kStageTable) {
    for (const cv::Size size : sizes) {
      const cv::Mat image = makeRandom(size.height, size.width, size.area());
      for (int position = 0; position <= slider.maximum; ++position) {
        const cv::RNG saved = cv::theRNG();
        const cv::Mat expected = wholeImage(slider.id, image, position);
        // 0 leaves the band heights to the protocol.
        for (int height = 0; height <= image.rows; ++height) {
          resetStages();
          srcImage = image.clone();
          *slider.value = position;
          control.bandRows = height;
          cv::theRNG() = saved;
          slider.handler(0, nullptr);
          ASSERT_EQ(countDifferences(dstImage, expected), 0)
              << slider.label << " " << position << " on " << size << ", bands of " << height;
        }
      }
    }
  }
  setRunControl(nullptr);
  resetStages();
}

TEST(Bands, BandsOfARealPhotoAtTheLargestPositionsMatch) {
  // Bands in the middle of an image larger than the kernels, band heights that do not divide it.
  const cv::Mat image = makePhoto(97, 61);
  for (const StageSlider& slider : kStageTable) {
    const int position = slider.id == kWhiteToZeroStage ? 128 : slider.maximum;
    const cv::RNG saved = cv::theRNG();
    const cv::Mat expected = wholeImage(slider.id, image, position);
    for (int height : {1, 2, 7, 40, 96}) {
      cv::theRNG() = saved;
      RunControl control;
      control.bandRows = height;
      setRunControl(&control);
      resetStages();
      srcImage = image.clone();
      *slider.value = position;
      slider.handler(0, nullptr);
      EXPECT_EQ(countDifferences(dstImage, expected), 0) << slider.label << " bands " << height;
    }
  }
  setRunControl(nullptr);
  resetStages();
}

TEST(Bands, NoiseFieldDoesNotDependOnWhereTheDrawsAreSplit) {
  // Rows of 5000 pixels: the draws are split inside rows as well as between them.
  const cv::Mat image(7, 5000, CV_8UC3, cv::Scalar::all(128));
  cv::theRNG() = cv::RNG(12345);
  const cv::Mat whole = wholeImage(kNoiseStage, image, 100);
  for (int height : {1, 3, 6}) {
    cv::theRNG() = cv::RNG(12345);
    cv::Mat banded(image.size(), image.type());
    for (int start = 0; start < image.rows; start += height) {
      filterNoiseRows(image, 100, banded, cv::Range(start, std::min(image.rows, start + height)));
    }
    EXPECT_EQ(countDifferences(banded, whole), 0) << "bands of " << height;
  }
  // A later draw continues the sequence instead of repeating it.
  EXPECT_GT(countDifferences(wholeImage(kNoiseStage, image, 100), whole), 0);
}

TEST(Bands, DenormalModesOfAWorkerThreadReachThePool) {
  std::atomic<int> flushed{0};
  std::thread worker([&] {
    const DenormalsFlushed mode;
    cv::parallel_for_(cv::Range(0, 16), [&](const cv::Range& range) {
      std::this_thread::sleep_for(std::chrono::milliseconds(range.size()));
      if (denormalsFlushed()) flushed += range.size();
    });
  });
  worker.join();
  EXPECT_EQ(flushed, 16);
  EXPECT_FALSE(denormalsFlushed());
}
