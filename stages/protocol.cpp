// Working images, value variables and the stage protocol.
#include "stages/protocol.hpp"

#include <opencv2/highgui.hpp>

#include "stages/stages.hpp"

cv::Mat srcImage;
cv::Mat dstImage;
cv::Mat grayImage;
int lastStage = kNoStage;

int bilateralValue = 0;
int blurValue = 0;
int stretchCValue = 0;
int stretchPValue = 0;
int smoothValue = 0;
int noiseValue = 0;
int blackValue = 0;
int whiteValue = 255;

namespace {

void showInImageWindow(const cv::Mat& image) {
  cv::imshow(kImageWindow, image);
}

DisplayFunction currentDisplay = showInImageWindow;

}  // namespace

void beginStage(int id) {
  if (lastStage != id && lastStage != kNoStage && !dstImage.empty()) {
    // The base and the result swap buffers: the base becomes the last result, and the old base
    // buffer is reused for the next result instead of allocating and copying a whole photo.
    // Every stage rewrites all of dstImage, so nothing of the old base leaks into the output.
    cv::swap(srcImage, dstImage);
  }
  lastStage = id;
}

void showResult() {
  currentDisplay(dstImage);
}

void setDisplayFunction(DisplayFunction display) {
  currentDisplay = display ? display : showInImageWindow;
}

void resetStages() {
  srcImage.release();
  dstImage.release();
  grayImage.release();
  lastStage = kNoStage;
  for (const StageSlider& slider : kStageTable) *slider.value = slider.initial;
}
