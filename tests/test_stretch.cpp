// Contrast stretch stages: exact agreement with the literal mapping, and worked sample values that
// pin the order and rounding of the steps and ranges of one value.
#include <gtest/gtest.h>

#include <algorithm>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "pipeline/stages.hpp"
#include "tests/stretch_reference.hpp"
#include "tests/test_images.hpp"

namespace {

// Uniform samples in lo[k]..hi[k] for each channel k.
cv::Mat makeRanged(int rows, int cols, cv::Scalar lo, cv::Scalar hi, unsigned seed) {
  cv::Mat image(rows, cols, CV_8UC3);
  cv::RNG(seed).fill(image, cv::RNG::UNIFORM, lo, hi + cv::Scalar::all(1));
  return image;
}

}  // namespace

TEST(Stretch, EqualsTheLiteralMappingAtEveryPosition) {
  const cv::Mat wide = makeRandom(20, 30, 7);  // a part of it has rows that are not contiguous
  // Large enough to be scanned in several stripes, with its extremes only in the last row.
  cv::Mat large = makeRanged(480, 400, cv::Scalar::all(100), cv::Scalar::all(150), 12);
  large.at<cv::Vec3b>(479, 399) = cv::Vec3b(3, 250, 99);
  large.at<cv::Vec3b>(479, 398) = cv::Vec3b(0, 0, 0);
  std::vector<cv::Mat> images = {large, makePhoto(17, 29), wide(cv::Rect(3, 2, 17, 11))};
  // Small images of many sizes whose channels span random ranges, some of them one value wide.
  cv::RNG rng(5);
  for (int n = 0; n < 60; ++n) {
    cv::Scalar lo, hi;
    for (int k = 0; k < 3; ++k) {
      lo[k] = rng.uniform(0, 256);
      hi[k] = std::min(255.0, lo[k] + rng.uniform(0, 4) * rng.uniform(0, 40));
    }
    images.push_back(makeRanged(rng.uniform(1, 30), rng.uniform(1, 30), lo, hi, n));
  }
  for (std::size_t n = 0; n < images.size(); ++n) {
    const cv::Mat& image = images[n];
    // Results land in buffers holding unrelated samples, so every sample must be rewritten.
    cv::Mat fastC = makeRandom(image.rows, image.cols, 9), fastP = fastC.clone(), gray;
    cv::Mat literalC, literalP, literalGray;
    // Every position on the first few small images, every ninth on the others.
    for (int value = 0; value <= 100; value += image.total() > 10000 ? 50 : n < 8 ? 1 : 9) {
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
  // {lowest, highest, position, sample, result} on grey pixels, so both stretches see the same
  // range. 255 / 100 is formed first, so 100 in 50..150 lands just below 127.5; the last three land
  // elsewhere if the gain or the offset is formed in another order. A range of one
  // value passes unchanged.
  const int cases[][5] = {{0, 6, 100, 1, 42},      {0, 6, 100, 3, 128},
                          {0, 6, 100, 5, 212},     {50, 150, 100, 100, 127},
                          {100, 200, 50, 100, 89}, {100, 200, 50, 200, 255},
                          {77, 77, 100, 77, 77},   {0, 10, 20, 5, 30},
                          {4, 62, 100, 33, 127},   {0, 28, 70, 20, 134}};
  for (auto [lo, hi, value, v, result] : cases) {
    const cv::Mat row =
        (cv::Mat_<cv::Vec3b>(1, 3) << cv::Vec3b::all(lo), cv::Vec3b::all(hi), cv::Vec3b::all(v));
    cv::Mat outC, outP, gray;
    filterStretchC(row, value, outC);
    filterStretchP(row, value, outP, gray);
    EXPECT_EQ(outC.at<cv::Vec3b>(0, 2), cv::Vec3b::all(result)) << v << " in " << lo << ".." << hi;
    EXPECT_EQ(outP.at<cv::Vec3b>(0, 2), cv::Vec3b::all(result)) << v << " in " << lo << ".." << hi;
  }
}
