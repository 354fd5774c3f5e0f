// Contrast stretch stages: exact agreement with the literal mapping, and worked sample values that
// pin the order and rounding of the steps and ranges of one value.
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
  cv::RNG(seed).fill(image, cv::RNG::UNIFORM, lo, hi + cv::Scalar::all(1));
  return image;
}

}  // namespace

TEST(Stretch, EqualsTheLiteralMappingAtEveryPosition) {
  const cv::Mat wide = makeRandom(20, 30, 7);
  // Large enough to be scanned in several stripes, with its extremes only in the last row.
  cv::Mat large = makeRanged(480, 400, cv::Scalar::all(100), cv::Scalar::all(150), 12);
  large.at<cv::Vec3b>(479, 399) = cv::Vec3b(3, 250, 99);
  large.at<cv::Vec3b>(479, 398) = cv::Vec3b(0, 0, 0);
  const cv::Mat images[] = {makeRandom(23, 31),
                            makePhoto(17, 29),
                            makeRanged(9, 37, {100, 30, 200}, {110, 60, 203}, 2),  // narrow
                            makeRanged(6, 11, {7, 128, 254}, {8, 129, 255}, 3),    // two values
                            makeRanged(5, 5, {0, 77, 10}, {255, 77, 12}, 4),       // one flat
                            wide(cv::Rect(3, 2, 17, 11)),  // rows that are not contiguous
                            large};
  for (const cv::Mat& image : images) {
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
  // {lowest, highest, position, sample, result} on grey pixels, so both stretches see the same
  // range. 255 / 100 is formed first, so 100 in 50..150 lands just below 127.5. A range of one
  // value passes unchanged.
  const int cases[][5] = {{0, 6, 100, 1, 42},      {0, 6, 100, 3, 128},
                          {0, 6, 100, 5, 212},     {50, 150, 100, 100, 127},
                          {100, 200, 50, 100, 89}, {100, 200, 50, 200, 255},
                          {77, 77, 100, 77, 77}};
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
