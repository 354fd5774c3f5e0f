// Generated test images.
#include "tests/test_images.hpp"

#include <opencv2/core.hpp>

cv::Mat makePhoto(int rows, int cols, unsigned seed) {
  cv::Mat image(rows, cols, CV_8UC3);
  cv::RNG rng(seed);
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < cols; ++j) {
      const double x = cols > 1 ? double(j) / (cols - 1) : 0.0;
      const double y = rows > 1 ? double(i) / (rows - 1) : 0.0;
      const bool edge = (i / 7 + j / 11) % 3 == 0;
      cv::Vec3b& p = image.at<cv::Vec3b>(i, j);
      p[0] = cv::saturate_cast<uchar>(40 + 150 * x + rng.uniform(-12, 13) + (edge ? 30 : 0));
      p[1] = cv::saturate_cast<uchar>(60 + 120 * y + rng.uniform(-12, 13));
      p[2] = cv::saturate_cast<uchar>(20 + 200 * x * y + rng.uniform(-12, 13) - (edge ? 20 : 0));
    }
  }
  return image;
}

cv::Mat makeRandom(int rows, int cols, unsigned seed) {
  cv::Mat image(rows, cols, CV_8UC3);
  cv::RNG rng(seed);
  rng.fill(image, cv::RNG::UNIFORM, 0, 256);
  return image;
}

int countDifferences(const cv::Mat& a, const cv::Mat& b) {
  CV_Assert(a.size() == b.size() && a.type() == b.type());
  cv::Mat diff;
  cv::compare(a, b, diff, cv::CMP_NE);
  return cv::countNonZero(diff.reshape(1));
}
