// Contrast stretch stages and their slider handlers.
#include "stages/stretch.hpp"

#include "stages/stages.hpp"

void filterStretchC(const cv::Mat& src, int, cv::Mat& dst) { src.copyTo(dst); }

void filterStretchP(const cv::Mat& src, int, cv::Mat& dst, cv::Mat&) { src.copyTo(dst); }

void onStretchC(int, void*) {
  beginStage(kStretchCStage);
  filterStretchC(srcImage, stretchCValue, dstImage);
  showResult();
}

void onStretchP(int, void*) {
  beginStage(kStretchPStage);
  filterStretchP(srcImage, stretchPValue, dstImage, grayImage);
  showResult();
}
