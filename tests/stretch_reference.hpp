// Slow, literal version of the contrast stretch: a range scan with strict tests from 255 and 0,
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

// Maps every sample of src with the range of its channel k, min[k]..max[k].
inline void literalStretchMap(const cv::Mat& src, int value, const double min[3],
                              const double max[3], cv::Mat& dst) {
  const double c = value / 100.0;
  dst.create(src.size(), src.type());
  for (int i = 0; i < src.rows; ++i) {
    for (int j = 0; j < src.cols; ++j) {
      for (int k = 0; k < 3; ++k) {
        const uchar v = src.ptr<uchar>(i)[3 * j + k];
        dst.ptr<uchar>(i)[3 * j + k] = literalStretchSample(c, min[k], max[k], v);
      }
    }
  }
}

inline void literalStretchC(const cv::Mat& src, int value, cv::Mat& dst) {
  double min[3] = {255, 255, 255};
  double max[3] = {0, 0, 0};
  for (int i = 0; i < src.rows; ++i) {
    for (int j = 0; j < src.cols; ++j) {
      for (int k = 0; k < 3; ++k) {
        const uchar v = src.ptr<uchar>(i)[3 * j + k];
        if (v < min[k]) min[k] = v;
        if (v > max[k]) max[k] = v;
      }
    }
  }
  literalStretchMap(src, value, min, max, dst);
}

inline void literalStretchP(const cv::Mat& src, int value, cv::Mat& dst, cv::Mat& gray) {
  cv::cvtColor(src, gray, cv::COLOR_BGR2GRAY);
  double min = 255;
  double max = 0;
  for (int i = 0; i < gray.rows; ++i) {
    for (int j = 0; j < gray.cols; ++j) {
      const uchar v = gray.ptr<uchar>(i)[j];
      if (v < min) min = v;
      if (v > max) max = v;
    }
  }
  const double mins[3] = {min, min, min};
  const double maxs[3] = {max, max, max};
  literalStretchMap(src, value, mins, maxs, dst);
}
