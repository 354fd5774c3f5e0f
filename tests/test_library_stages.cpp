// The stage handlers and the library-backed tone cut-offs.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "stages/stages.hpp"
#include "tests/test_images.hpp"

namespace {

// The slider positions the tool starts with, read before any test resets the stages.
const std::vector<int> kStartValues = [] {
  std::vector<int> values;
  for (const StageSlider& slider : kStageTable) values.push_back(*slider.value);
  return values;
}();

}  // namespace

TEST(StageHandlers, SlidersStartAtZeroButWhiteToZeroAtItsMaximum) {
  EXPECT_EQ(kStartValues, (std::vector<int>{0, 0, 0, 0, 0, 0, 0, 255}));
}

TEST(StageHandlers, EachFiltersTheBaseWithItsOwnSlidersValue) {
  cv::Mat gray;
  const std::function<void(const cv::Mat&, int, cv::Mat&)> filters[] = {
      filterBilateral,
      filterBlur,
      filterStretchC,
      [&](const cv::Mat& src, int value, cv::Mat& dst) { filterStretchP(src, value, dst, gray); },
      filterSmooth,
      filterNoise,
      filterBlackToZero,
      filterWhiteToZero};
  const cv::Mat photo = makePhoto(37, 53);
  setDisplayFunction([](const cv::Mat&) {});
  for (std::size_t i = 0; i < kStageTable.size(); ++i) {
    resetStages();
    srcImage = photo.clone();
    const StageSlider& slider = kStageTable[i];
    *slider.value = slider.maximum / 3;
    const cv::RNG start = cv::theRNG();  // the noise stage draws the same field twice
    slider.handler(0, nullptr);
    cv::theRNG() = start;
    cv::Mat expected;
    filters[i](photo, slider.maximum / 3, expected);
    EXPECT_EQ(countDifferences(dstImage, expected), 0) << slider.label;
    if (i == 3) {
      EXPECT_EQ(cv::countNonZero(grayImage != gray), 0);
    }
  }
  setDisplayFunction(nullptr);
  resetStages();
}

TEST(ToneCutOffs, EachSampleAgainstTheThreshold) {
  // Black->0 zeroes samples at or below the threshold; White->0 lowers samples above it to it.
  const cv::Mat pixel(1, 1, CV_8UC3, cv::Scalar(99, 100, 101));
  const struct {
    void (*filter)(const cv::Mat&, int, cv::Mat&);
    int value;
    cv::Vec3b expected;
  } cases[] = {{filterBlackToZero, 100, {0, 0, 101}},
               {filterWhiteToZero, 100, {99, 100, 100}},
               {filterBlackToZero, 255, {0, 0, 0}},
               {filterWhiteToZero, 0, {0, 0, 0}}};
  for (const auto& [filter, value, expected] : cases) {
    cv::Mat out;
    filter(pixel, value, out);
    EXPECT_EQ(out.at<cv::Vec3b>(0, 0), expected) << value;
  }
}
