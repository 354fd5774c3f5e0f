// Contrast stretch stages: exact agreement with the literal mapping, worked sample values, ranges
// of one value, and re-running through the handlers.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>
#include <vector>

#include "stages/stages.hpp"
#include "tests/stretch_reference.hpp"
#include "tests/test_images.hpp"

namespace {

// Uniform samples in lo[k]..hi[k] for each channel k.
cv::Mat makeRanged(int rows, int cols, cv::Scalar lo, cv::Scalar hi, unsigned seed) {
  cv::Mat image(rows, cols, CV_8UC3);
  cv::RNG rng(seed);
  rng.fill(image, cv::RNG::UNIFORM, lo, hi + cv::Scalar::all(1));
  return image;
}

std::vector<cv::Mat> exactnessImages() {
  cv::Mat wide = makeRandom(20, 30, 7);
  // Large enough to be scanned in several stripes, with its extremes only in the last row.
  cv::Mat large = makeRanged(480, 400, cv::Scalar::all(100), cv::Scalar::all(150), 12);
  large.at<cv::Vec3b>(479, 399) = cv::Vec3b(3, 250, 99);
  large.at<cv::Vec3b>(479, 398) = cv::Vec3b(0, 0, 0);
  return {makeRandom(23, 31),
          makePhoto(17, 29),
          makeRanged(9, 37, {100, 30, 200}, {110, 60, 203}, 2),  // narrow, each channel its own
          makeRanged(6, 11, {7, 128, 254}, {8, 129, 255}, 3),    // two values per channel
          makeRanged(5, 5, {0, 77, 10}, {255, 77, 12}, 4),       // one flat channel
          makeRandom(1, 1),
          makeRandom(4, 9, 5),
          makeRandom(3, 17, 6),
          wide(cv::Rect(3, 2, 17, 11)),  // a window into a larger image: rows are not contiguous
          large};
}

// One row whose samples, in all three channels, are `samples`; returns channel 0 after StretchC.
std::vector<int> stretchRow(const std::vector<uchar>& samples, int value) {
  cv::Mat row(1, static_cast<int>(samples.size()), CV_8UC3), out;
  for (int j = 0; j < row.cols; ++j) row.at<cv::Vec3b>(0, j) = cv::Vec3b::all(samples[j]);
  filterStretchC(row, value, out);
  std::vector<int> result;
  for (int j = 0; j < out.cols; ++j) result.push_back(out.at<cv::Vec3b>(0, j)[0]);
  return result;
}

void noDisplay(const cv::Mat&) {}

}  // namespace

TEST(Stretch, EqualsTheLiteralMappingAtEveryPosition) {
  for (const cv::Mat& image : exactnessImages()) {
    // Results land in buffers holding unrelated samples, so every sample must be rewritten.
    cv::Mat fastC = makeRandom(image.rows, image.cols, 9), fastP = fastC.clone(), gray;
    cv::Mat literalC, literalP, literalGray;
    for (int value = 0; value <= 100; value += image.total() > 10000 ? 50 : 1) {
      SCOPED_TRACE(testing::Message() << image.size() << " at " << value);
      filterStretchC(image, value, fastC);
      literalStretchC(image, value, literalC);
      ASSERT_EQ(countDifferences(fastC, literalC), 0);
      filterStretchP(image, value, fastP, gray);
      literalStretchP(image, value, literalP, literalGray);
      ASSERT_EQ(countDifferences(fastP, literalP), 0);
      ASSERT_EQ(cv::countNonZero(gray != literalGray), 0);
    }
  }
}

TEST(Stretch, WorkedSampleValues) {
  EXPECT_EQ(stretchRow({0, 1, 2, 3, 4, 5, 6}, 100),
            (std::vector<int>{0, 42, 85, 128, 170, 212, 255}));
  // 255 / 100 is formed first, so 100 gives just below 127.5.
  EXPECT_EQ(stretchRow({50, 100, 150}, 100), (std::vector<int>{0, 127, 255}));
  EXPECT_EQ(stretchRow({100, 200}, 50), (std::vector<int>{89, 255}));
}

TEST(Stretch, PositionZeroAndFullRangeChannelsChangeNothing) {
  cv::Mat full = makeRandom(12, 15, 8), out, gray;
  full.at<cv::Vec3b>(0, 0) = cv::Vec3b::all(0);
  full.at<cv::Vec3b>(5, 7) = cv::Vec3b::all(255);
  for (int value = 0; value <= 100; ++value) {
    filterStretchC(full, value, out);
    EXPECT_EQ(countDifferences(out, full), 0) << value;
  }
  const cv::Mat photo = makePhoto(19, 23);
  filterStretchC(photo, 0, out);
  EXPECT_EQ(countDifferences(out, photo), 0);
  filterStretchP(photo, 0, out, gray);
  EXPECT_EQ(countDifferences(out, photo), 0);
}

TEST(Stretch, BrightnessRangeClipsColourSamplesOutsideIt) {
  const cv::Mat photo = makePhoto(21, 27);
  cv::Mat out, gray;
  filterStretchP(photo, 100, out, gray);
  double min = 0, max = 0;
  cv::minMaxIdx(gray, &min, &max);
  int below = 0, above = 0;
  for (int n = 0; n < static_cast<int>(photo.total()) * 3; ++n) {
    const int v = photo.data[n];
    if (v <= min) {
      EXPECT_EQ(out.data[n], 0) << v;
    } else if (v >= max) {
      EXPECT_EQ(out.data[n], 255) << v;
    }
    below += v < min;
    above += v > max;
  }
  EXPECT_GT(below, 0);
  EXPECT_GT(above, 0);
}

TEST(Stretch, RangesOfOneValuePassUnchanged) {
  // A flat green channel among stretched ones; one colour everywhere; two colours of equal
  // brightness.
  const cv::Mat flatGreen = makeRanged(8, 10, {20, 77, 40}, {200, 77, 180}, 11);
  const cv::Mat flat(6, 7, CV_8UC3, cv::Scalar(10, 200, 90));
  cv::Mat sameBrightness(6, 7, CV_8UC3, cv::Scalar(30, 100, 200)), out, gray, green;
  sameBrightness(cv::Rect(0, 0, 3, 6)).setTo(cv::Scalar(31, 100, 200));
  cv::cvtColor(sameBrightness, gray, cv::COLOR_BGR2GRAY);
  ASSERT_EQ(cv::countNonZero(gray != gray.at<uchar>(0, 0)), 0);
  for (int value = 0; value <= 100; ++value) {
    SCOPED_TRACE(value);
    filterStretchC(flatGreen, value, out);
    cv::extractChannel(out, green, 1);
    EXPECT_EQ(cv::countNonZero(green != 77), 0);
    filterStretchC(flat, value, out);
    EXPECT_EQ(countDifferences(out, flat), 0);
    filterStretchP(flat, value, out, gray);
    EXPECT_EQ(countDifferences(out, flat), 0);
    filterStretchP(sameBrightness, value, out, gray);
    EXPECT_EQ(countDifferences(out, sameBrightness), 0);
  }
}

TEST(StretchHandlers, MovingASliderRestretchesTheSameBase) {
  resetStages();
  setDisplayFunction(noDisplay);
  const cv::Mat photo = makePhoto(37, 53);
  srcImage = photo.clone();
  stretchCValue = 70;
  onStretchC(0, nullptr);
  stretchCValue = 30;
  onStretchC(0, nullptr);
  cv::Mat expectedC, expectedP, gray;
  literalStretchC(photo, 30, expectedC);
  EXPECT_EQ(countDifferences(dstImage, expectedC), 0);
  EXPECT_EQ(countDifferences(srcImage, photo), 0);

  // Switching to the brightness stretch works on the per-channel result.
  stretchPValue = 60;
  onStretchP(0, nullptr);
  literalStretchP(expectedC, 60, expectedP, gray);
  EXPECT_EQ(countDifferences(dstImage, expectedP), 0);
  EXPECT_EQ(cv::countNonZero(grayImage != gray), 0);
  EXPECT_EQ(lastStage, kStretchPStage);
  setDisplayFunction(nullptr);
  resetStages();
}
