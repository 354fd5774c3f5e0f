// Slow, literal version of the contrast stretches: a range scan with strict tests from 255 and 0,
// then the six-step double mapping for every sample. The stretch tests compare the stages with it
// and the benchmarks time it; header-only so that both can use it.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

inline uchar literalStretchSample(double c, double min, double max, uchar v) {
  if (max == min) return v;  // one value over the whole image passes unchanged
  const double q = 255 / (max - min);
  const double a = q - 1;
  const double gain = c * a + 1;
  const double offset = v - c * min;
  const double y = gain * offset;
  return cv::saturate_cast<uchar>(y);
}

// Maps every sample of the BGR image src with the range of `ranged`: of the same channel when
// `ranged` has three channels, of its only channel when it has one.
inline void literalStretchMap(const cv::Mat& src, int value, const cv::Mat& ranged, cv::Mat& dst) {
  const int n = ranged.channels();
  double min[3] = {255, 255, 255};
  double max[3] = {0, 0, 0};
  for (int i = 0; i < ranged.rows; ++i) {
    for (int j = 0; j < ranged.cols * n; ++j) {
      const uchar v = ranged.ptr<uchar>(i)[j];
      if (v < min[j % n]) min[j % n] = v;
      if (v > max[j % n]) max[j % n] = v;
    }
  }
  dst.create(src.size(), src.type());
  for (int i = 0; i < src.rows; ++i) {
    for (int j = 0; j < src.cols * 3; ++j) {
      const int k = n == 1 ? 0 : j % 3;
      dst.ptr<uchar>(i)[j] =
          literalStretchSample(value / 100.0, min[k], max[k], src.ptr<uchar>(i)[j]);
    }
  }
}

inline void literalStretchC(const cv::Mat& src, int value, cv::Mat& dst) {
  literalStretchMap(src, value, src, dst);
}

inline void literalStretchP(const cv::Mat& src, int value, cv::Mat& dst, cv::Mat& gray) {
  cv::cvtColor(src, gray, cv::COLOR_BGR2GRAY);
  literalStretchMap(src, value, gray, dst);
}
