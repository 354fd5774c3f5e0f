// The neighbourhood smoothing stage: exact agreement with the literal blend, and worked uniform
// areas that pin the ties and the clamp of bright windows.
#include <gtest/gtest.h>

#include <vector>

#include "pipeline/stages.hpp"
#include "tests/smooth_reference.hpp"
#include "tests/test_images.hpp"

namespace {

// Runs the stage into a result buffer that holds stale samples, as it does after a commit.
cv::Mat smoothed(const cv::Mat& src, int c) {
  cv::Mat dst(src.size(), src.type(), cv::Scalar::all(77));
  filterSmooth(src, c, dst);
  return dst;
}

}  // namespace

TEST(Smooth, EqualsTheLiteralBlendAtEveryPosition) {
  // Too small for any window in either direction, just large enough, and tall enough for several
  // stripes; each also bright, where totals pass 255.
  std::vector<cv::Mat> images = {makePhoto(41, 57)};
  for (const cv::Size size :
       {cv::Size(9, 4), cv::Size(4, 9), cv::Size(5, 5), cv::Size(7, 6), cv::Size(33, 90)}) {
    images.push_back(makeRandom(size.height, size.width, size.area()));
    images.push_back(images.back() / 8 + cv::Scalar::all(224));
  }
  for (const cv::Mat& image : images) {
    for (int c = 0; c <= 100; ++c) {
      ASSERT_EQ(countDifferences(smoothed(image, c), smoothLiteral(image, c)), 0)
          << image.size() << " c=" << c;
    }
  }
}

TEST(Smooth, UniformAreas) {
  // {value, position, centre result}. At 18 the float step turns 102.50000000000001 into a tie,
  // which goes to the even 102, plus 25 neighbour terms of 1. At 50 the halves 12.5, 37.5, 0.5
  // and 1.5 round to even. White totals above 255 clamp to it: at 15, 217 + 25 x 2 = 267 would wrap
  // to 11.
  const int cases[][3] = {{125, 18, 127}, {25, 50, 12},   {75, 50, 88},
                          {255, 50, 253}, {24, 100, 0},   {255, 100, 250},
                          {255, 15, 255}, {255, 10, 255}, {255, 20, 254}};
  for (auto [v, c, result] : cases) {
    const cv::Mat out = smoothed(cv::Mat(9, 9, CV_8UC3, cv::Scalar::all(v)), c);
    EXPECT_EQ(out.at<cv::Vec3b>(4, 4), cv::Vec3b::all(result)) << v << " at " << c;
  }
}
