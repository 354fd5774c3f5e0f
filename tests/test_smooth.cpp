// The neighbourhood smoothing stage: exact agreement with the literal blend, uniform areas,
// saturation of bright windows, a single hot pixel and the handler.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "stages/stages.hpp"
#include "tests/smooth_reference.hpp"
#include "tests/test_images.hpp"

namespace {

// Runs the stage into a result buffer that holds stale samples, as it does after a commit.
cv::Mat smoothed(const cv::Mat& src, int c) {
  cv::Mat dst(src.size(), src.type(), cv::Scalar::all(77));
  filterSmooth(src, c, dst);
  return dst;
}

// A 20x20 image whose 16x16 inner pixels take every sample value once in each channel, so that
// every base term and every neighbour term occurs at each position of the slider.
cv::Mat everyValue() {
  cv::Mat image = makeRandom(20, 20, 7);
  for (int n = 0; n < 256; ++n) {
    cv::Vec3b& p = image.at<cv::Vec3b>(2 + n / 16, 2 + n % 16);
    for (int k = 0; k < 3; ++k) p[k] = static_cast<uchar>(n * (2 * k + 1) + 85 * k);
  }
  return image;
}

// Centre sample of a uniform area of `v` after the stage at `c`.
int uniformResult(int v, int c) {
  return smoothed(cv::Mat(9, 9, CV_8UC3, cv::Scalar::all(v)), c).at<cv::Vec3b>(4, 4)[0];
}

}  // namespace

TEST(Smooth, EqualsTheLiteralBlendAtEveryPosition) {
  std::vector<cv::Mat> images = {everyValue(), makePhoto(41, 57)};
  const cv::Size sizes[] = {{1, 1}, {9, 4}, {4, 9}, {4, 4}, {5, 5}, {7, 6}, {13, 7}, {33, 70}};
  for (const cv::Size& size : sizes) {
    images.push_back(makeRandom(size.height, size.width, size.area()));
    images.push_back(images.back() / 8 + cv::Scalar::all(224));  // bright: totals pass 255
  }
  for (const cv::Mat& image : images) {
    EXPECT_EQ(countDifferences(smoothed(image, 0), image), 0) << image.size();
    for (int c = 0; c <= 100; ++c) {
      ASSERT_EQ(countDifferences(smoothed(image, c), smoothLiteral(image, c)), 0)
          << image.size() << " c=" << c;
    }
  }
}

TEST(Smooth, UniformAreas) {
  // {value, position, result}. At 18 the float step rounds 102.50000000000001 to a tie, which
  // goes to the even 102, plus 25 neighbour terms of 1.
  const int cases[][3] = {{100, 50, 100}, {200, 50, 200},  {255, 50, 253},
                          {24, 50, 12},   {255, 100, 250}, {100, 100, 100},
                          {25, 100, 25},  {24, 100, 0},    {125, 18, 127}};
  for (auto [v, c, result] : cases) EXPECT_EQ(uniformResult(v, c), result) << v << " c=" << c;
}

TEST(Smooth, BrightWindowsSaturateInsteadOfWrapping) {
  // Every position where a uniform white area's total passes 255; at 15 it is 217 + 25 x 2 = 267,
  // which would wrap to 11.
  const std::pair<int, int> overflowing[] = {{6, 9},   {15, 19}, {26, 29}, {35, 39}, {46, 48},
                                             {55, 58}, {66, 68}, {75, 78}, {86, 88}, {95, 97}};
  for (auto [from, to] : overflowing) {
    for (int c = from; c <= to; ++c) EXPECT_EQ(uniformResult(255, c), 255) << "c=" << c;
  }
  EXPECT_EQ(uniformResult(255, 10), 255);  // 230 + 25 x 1, exactly white without clamping
  EXPECT_EQ(uniformResult(255, 20), 254);
}

TEST(Smooth, AHotPixelReachesOnlyItsOwnChannelWithinTwoPixels) {
  // On black, every other sample's terms are 0, so each touched sample shows one neighbour term.
  // c = 50 with odd quotients: the neighbour terms 0.5 .. 4.5 round to even.
  const int ties[][3] = {{25, 0, 12}, {75, 2, 40}, {125, 2, 64}, {175, 4, 92}, {225, 4, 116}};
  for (auto [u, term, centre] : ties) {
    cv::Mat image(11, 12, CV_8UC3, cv::Scalar::all(0));
    image.at<cv::Vec3b>(5, 6)[1] = static_cast<uchar>(u);
    cv::Mat expected = image.clone();
    expected(cv::Rect(4, 3, 5, 5)).setTo(cv::Scalar(0, term, 0));
    expected.at<cv::Vec3b>(5, 6)[1] = static_cast<uchar>(centre);
    EXPECT_EQ(countDifferences(smoothed(image, 50), expected), 0) << "u=" << u;
  }
  // Next to a corner only the four inner pixels whose windows reach it change.
  cv::Mat corner(8, 8, CV_8UC3, cv::Scalar::all(0));
  corner.at<cv::Vec3b>(1, 1)[2] = 250;
  cv::Mat expected = corner.clone();
  expected(cv::Rect(2, 2, 2, 2)).setTo(cv::Scalar(0, 0, 10));
  EXPECT_EQ(countDifferences(smoothed(corner, 100), expected), 0);
}

TEST(Smooth, RepeatedMovesStartFromTheSameBase) {
  resetStages();
  setDisplayFunction([](const cv::Mat&) {});
  const cv::Mat photo = makePhoto(23, 31);
  srcImage = photo.clone();
  smoothValue = 40;
  onSmooth(0, nullptr);
  smoothValue = 90;
  onSmooth(0, nullptr);
  smoothValue = 40;
  onSmooth(0, nullptr);
  const cv::Mat once = smoothLiteral(photo, 40);
  EXPECT_EQ(countDifferences(dstImage, once), 0);
  EXPECT_EQ(countDifferences(srcImage, photo), 0);
  // After another stage the smoothed image is the base; its old buffer receives the new result.
  onBlackToZero(0, nullptr);
  onSmooth(0, nullptr);
  EXPECT_EQ(countDifferences(dstImage, smoothLiteral(once, 40)), 0);
  setDisplayFunction(nullptr);
  resetStages();
}
