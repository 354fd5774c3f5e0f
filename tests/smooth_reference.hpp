// Slow, literal per-sample version of the neighbourhood smoothing blend: the yardstick the fast
// stage is compared with in the tests and timed against in the benchmarks.
#pragma once

#include <opencv2/core.hpp>

// Every sample two or more pixels from the border becomes its base term (1 - c/100) * v plus 25
// neighbour terms (u / 25) * c / 100, each computed in double, rounded to float and then to a
// byte; the total is clamped at 255. All other samples keep the source's values.
inline cv::Mat smoothLiteral(const cv::Mat& src, int c) {
  cv::Mat dst = src.clone();
  for (int i = 2; i <= src.rows - 3; ++i) {
    for (int j = 2; j <= src.cols - 3; ++j) {
      for (int k = 0; k < 3; ++k) {
        const uchar v = src.ptr<uchar>(i)[3 * j + k];
        const double a = 1.0 - static_cast<double>(c) / 100.0;
        const double p = a * v;
        int total = cv::saturate_cast<uchar>(static_cast<float>(p));
        for (int y = i - 2; y <= i + 2; ++y) {
          for (int x = j - 2; x <= j + 2; ++x) {
            const int u = src.ptr<uchar>(y)[3 * x + k];
            const int q = u / 25;
            const float t = static_cast<float>((q * c) / 100.0);
            total += cv::saturate_cast<uchar>(t);
          }
        }
        dst.ptr<uchar>(i)[3 * j + k] = cv::saturate_cast<uchar>(total);
      }
    }
  }
  return dst;
}
