// Neighbourhood smoothing stage and its slider handler.
#include "stages/smooth.hpp"

#include "stages/stages.hpp"

void filterSmooth(const cv::Mat& src, int, cv::Mat& dst) { src.copyTo(dst); }

void onSmooth(int, void*) {
  beginStage(kSmoothStage);
  filterSmooth(srcImage, smoothValue, dstImage);
  showResult();
}
