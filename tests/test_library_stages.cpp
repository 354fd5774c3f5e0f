// The library-backed tone cut-offs: each sample against the threshold.
#include <gtest/gtest.h>

#include "stages/stages.hpp"

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
