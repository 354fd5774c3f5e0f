// Library-backed stages and their slider handlers.
#include "stages/library.hpp"

#include <opencv2/imgproc.hpp>

#include "stages/stages.hpp"

void filterBilateral(const cv::Mat& src, int value, cv::Mat& dst) {
  cv::bilateralFilter(src, dst, 2 * value + 1, 4.0 * value + 1.0, value + 1.0, cv::BORDER_DEFAULT);
}

void filterBlur(const cv::Mat& src, int value, cv::Mat& dst) {
  const int size = 2 * value + 1;
  cv::GaussianBlur(src, dst, cv::Size(size, size), 0.0, 0.0, cv::BORDER_DEFAULT);
}

void filterWhiteToZero(const cv::Mat& src, int value, cv::Mat& dst) {
  cv::threshold(src, dst, value, 0.0, cv::THRESH_TRUNC);
}

void filterBlackToZero(const cv::Mat& src, int value, cv::Mat& dst) {
  cv::threshold(src, dst, value, 0.0, cv::THRESH_TOZERO);
}

void onBilateral(int, void*) {
  beginStage(kBilateralStage);
  filterBilateral(srcImage, bilateralValue, dstImage);
  showResult();
}

void onBlur(int, void*) {
  beginStage(kBlurStage);
  filterBlur(srcImage, blurValue, dstImage);
  showResult();
}

void onWhiteToZero(int, void*) {
  beginStage(kWhiteToZeroStage);
  filterWhiteToZero(srcImage, whiteValue, dstImage);
  showResult();
}

void onBlackToZero(int, void*) {
  beginStage(kBlackToZeroStage);
  filterBlackToZero(srcImage, blackValue, dstImage);
  showResult();
}
