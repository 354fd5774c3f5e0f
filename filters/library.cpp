// Library-backed filters.
#include "filters/library.hpp"

#include <algorithm>
#include <opencv2/imgproc.hpp>

BilateralParams bilateralParams(int value) {
  return {2 * value + 1, 4.0 * value + 1.0, value + 1.0};
}

BlurParams blurParams(int value) {
  return {2 * value + 1, 0.0};
}

double derivedBlurSigma(int size) {
  return 0.3 * ((size - 1) * 0.5 - 1) + 0.8;
}

void filterBilateral(const cv::Mat& src, int value, cv::Mat& dst) {
  const BilateralParams p = bilateralParams(value);
  cv::bilateralFilter(src, dst, p.diameter, p.sigmaColor, p.sigmaSpace, cv::BORDER_DEFAULT);
}

void filterBlur(const cv::Mat& src, int value, cv::Mat& dst) {
  const BlurParams p = blurParams(value);
  cv::GaussianBlur(src, dst, cv::Size(p.size, p.size), p.sigma, p.sigma, cv::BORDER_DEFAULT);
}

void filterWhiteToZero(const cv::Mat& src, int value, cv::Mat& dst) {
  cv::threshold(src, dst, value, 0.0, cv::THRESH_TRUNC);
}

void filterBlackToZero(const cv::Mat& src, int value, cv::Mat& dst) {
  cv::threshold(src, dst, value, 0.0, cv::THRESH_TOZERO);
}

// A band of rows: the source band is a view of the whole source, so the filter reads the rows
// around it for its borders, exactly as the whole-image call does.
void filterBilateralRows(const cv::Mat& src, const BilateralParams& p, cv::Mat& dst,
                         const cv::Range& rows) {
  cv::Mat out = dst.rowRange(rows);
  cv::bilateralFilter(src.rowRange(rows), out, p.diameter, p.sigmaColor, p.sigmaSpace,
                      cv::BORDER_DEFAULT);
}

// The blur, given a band as a view of the whole source, does not always give the whole-image
// call's samples (it differs when the kernel reaches past the view into the rows around it). So
// it filters the band and the rows its kernel reaches as an image of its own (reflected at the
// photo's own top and bottom only, where the photo ends) into a scratch image, and keeps the band.
void filterBlurRows(const cv::Mat& src, const BlurParams& p, cv::Mat& dst, const cv::Range& rows) {
  const int reach = p.size / 2 + 1;
  const cv::Range context(std::max(0, rows.start - reach), std::min(src.rows, rows.end + reach));
  cv::Mat blurred;
  cv::GaussianBlur(src.rowRange(context), blurred, cv::Size(p.size, p.size), p.sigma, p.sigma,
                   cv::BORDER_DEFAULT | cv::BORDER_ISOLATED);
  blurred.rowRange(rows.start - context.start, rows.end - context.start).copyTo(dst.rowRange(rows));
}

void filterWhiteToZeroRows(const cv::Mat& src, int value, cv::Mat& dst, const cv::Range& rows) {
  cv::Mat out = dst.rowRange(rows);
  filterWhiteToZero(src.rowRange(rows), value, out);
}

void filterBlackToZeroRows(const cv::Mat& src, int value, cv::Mat& dst, const cv::Range& rows) {
  cv::Mat out = dst.rowRange(rows);
  filterBlackToZero(src.rowRange(rows), value, out);
}
