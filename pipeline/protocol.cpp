// Working images, value variables and the stage protocol.
#include "pipeline/protocol.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <opencv2/highgui.hpp>

#include "pipeline/stages.hpp"

cv::Mat srcImage;
cv::Mat dstImage;
cv::Mat nextImage;
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
RunControl* runControl = nullptr;

// A photo-sized buffer that neither srcImage nor dstImage uses; the next result is written there.
cv::Mat spareImage;

// The frozen steps of the chain, and the current stage's last complete run (id 0: none yet).
std::vector<StageStep> frozenSteps;
StageStep currentStep{kNoStage, 0};

// Gives nextImage srcImage's size and type in a buffer of its own, reusing a spare one.
void prepareNext() {
  const auto fits = [](const cv::Mat& image) {
    return image.size() == srcImage.size() && image.type() == srcImage.type() &&
           image.data != srcImage.data && image.data != dstImage.data;
  };
  if (fits(nextImage)) return;
  if (fits(spareImage)) {
    nextImage = spareImage;
  } else {
    nextImage.release();
    nextImage.create(srcImage.size(), srcImage.type());
  }
  spareImage.release();
}

// Work per band when the protocol chooses the bands: short enough for cancellation and progress
// several times a second, long enough that the per-band cost stays far below the work.
constexpr double kBandSeconds = 0.08;

// Rows of the next band: the first band is a small share of the image, later ones are sized from
// the speed of the band before to take about kBandSeconds, growing at most eightfold at a time.
// Later bands hold at least four of the library's 64K-pixel parallel stripes, so that its
// parallel loops keep every thread busy inside a band.
int nextBandRows(int rows, int cols, int lastRows, double lastSeconds) {
  if (lastRows == 0) return std::max(1, rows / 256);
  const double wanted = lastSeconds > 0 ? lastRows * kBandSeconds / lastSeconds : 8.0 * lastRows;
  const double least = std::ceil(4.0 * 65536 / std::max(cols, 1));
  return static_cast<int>(std::clamp(std::max(wanted, least), 1.0, 8.0 * lastRows));
}

}  // namespace

void setRunControl(RunControl* control) {
  runControl = control;
}

void beginStage(int id) {
  if (lastStage != id && lastStage != kNoStage && !dstImage.empty()) {
    // The last result becomes the base. Neither is written from here on (the next result goes to
    // nextImage), so the two share one buffer instead of copying a whole photo, and the old base
    // buffer is kept for the next result.
    if (srcImage.data != dstImage.data) spareImage = srcImage;
    srcImage = dstImage;
    if (currentStep.id != kNoStage) frozenSteps.push_back(currentStep);
    currentStep = {kNoStage, 0};
  }
  lastStage = id;
}

bool runStage(int value, const BandFilter& band) {
  prepareNext();
  const int rows = srcImage.rows;
  const int fixed = runControl ? runControl->bandRows : rows;
  int size = 0;
  double seconds = 0;
  for (int start = 0; start < rows; start += size) {
    if (runControl && runControl->cancel.load(std::memory_order_acquire)) return false;
    size = fixed > 0 ? fixed : nextBandRows(rows, srcImage.cols, size, seconds);
    const int end = std::min(rows, start + size);
    const auto began = std::chrono::steady_clock::now();
    band(cv::Range(start, end));
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    if (runControl && runControl->bandDone) runControl->bandDone(end, rows);
  }
  if (runControl && runControl->cancel.load(std::memory_order_acquire)) return false;
  // The new result takes the place of the last one; the last one's buffer takes the next result,
  // unless it is the base's too.
  cv::Mat previous = dstImage;
  dstImage = nextImage;
  nextImage = previous.data == srcImage.data ? cv::Mat() : previous;
  currentStep = {lastStage, value};
  showResult();
  return true;
}

std::vector<StageStep> stageChain() {
  std::vector<StageStep> chain = frozenSteps;
  if (currentStep.id != kNoStage) chain.push_back(currentStep);
  return chain;
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
  nextImage.release();
  spareImage.release();
  grayImage.release();
  lastStage = kNoStage;
  frozenSteps.clear();
  currentStep = {kNoStage, 0};
  for (const StageSlider& slider : kStageTable) *slider.value = slider.initial;
}
