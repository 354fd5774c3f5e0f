// Gaussian noise stage and its slider handler.
#include "stages/noise.hpp"

#include "stages/stages.hpp"

void filterNoise(const cv::Mat& src, int, cv::Mat& dst) { src.copyTo(dst); }

void onNoise(int, void*) {
  beginStage(kNoiseStage);
  filterNoise(srcImage, noiseValue, dstImage);
  showResult();
}
