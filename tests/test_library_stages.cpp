// The library-backed stages: tone cut-offs per sample, identities at position 0.
#include <gtest/gtest.h>

#include "stages/stages.hpp"
#include "tests/test_images.hpp"

TEST(ToneCutOffs, ActOnEachChannelSeparately) {
  const cv::Mat pixel(1, 1, CV_8UC3, cv::Scalar(10, 200, 60));
  cv::Mat out;
  filterBlackToZero(pixel, 50, out);
  EXPECT_EQ(out.at<cv::Vec3b>(0, 0), cv::Vec3b(0, 200, 60));
  filterWhiteToZero(pixel, 50, out);
  EXPECT_EQ(out.at<cv::Vec3b>(0, 0), cv::Vec3b(10, 50, 50));
}

TEST(ToneCutOffs, EndsOfTheRange) {
  const cv::Mat image = makeRandom(9, 14);
  const cv::Mat zeros = cv::Mat::zeros(image.size(), image.type());
  cv::Mat out;
  filterWhiteToZero(image, 255, out);
  EXPECT_EQ(countDifferences(out, image), 0);
  filterWhiteToZero(image, 0, out);
  EXPECT_EQ(countDifferences(out, zeros), 0);
  filterBlackToZero(image, 0, out);
  EXPECT_EQ(countDifferences(out, image), 0);
  filterBlackToZero(image, 255, out);
  EXPECT_EQ(countDifferences(out, zeros), 0);
}

TEST(ToneCutOffs, ComparisonsAtTheThreshold) {
  // Black->0 zeroes samples equal to the threshold; White->0 keeps them.
  const cv::Mat samples = (cv::Mat_<cv::Vec3b>(1, 1) << cv::Vec3b(99, 100, 101));
  cv::Mat out;
  filterBlackToZero(samples, 100, out);
  EXPECT_EQ(out.at<cv::Vec3b>(0, 0), cv::Vec3b(0, 0, 101));
  filterWhiteToZero(samples, 100, out);
  EXPECT_EQ(out.at<cv::Vec3b>(0, 0), cv::Vec3b(99, 100, 100));
}

TEST(SmoothingFilters, PositionZeroIsTheIdentityAndHigherPositionsSmooth) {
  const cv::Mat photo = makePhoto(31, 45);
  cv::Mat out;
  filterBilateral(photo, 0, out);
  EXPECT_EQ(countDifferences(out, photo), 0);
  filterBlur(photo, 0, out);
  EXPECT_EQ(countDifferences(out, photo), 0);
  filterBlur(photo, 30, out);  // a 61x61 kernel over a smaller image still works
  EXPECT_GT(countDifferences(out, photo), 0);
  filterBilateral(photo, 20, out);
  EXPECT_GT(countDifferences(out, photo), 0);
}
