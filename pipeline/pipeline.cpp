// The stage protocol over one pipeline's working images.
#include "pipeline/pipeline.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace {

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

Pipeline::Pipeline(cv::Mat photo, double scale, cv::RNG* rng)
    : srcImage(std::move(photo)), scale_(scale), rng_(rng) {}

void Pipeline::prepareNext() {
  // A buffer is reused only when this pipeline alone holds it: a picture handed to the window, or
  // a base another thread still reads, is never written.
  const auto fits = [this](const cv::Mat& image) {
    return image.size() == srcImage.size() && image.type() == srcImage.type() &&
           image.data != srcImage.data && image.data != dstImage.data && image.u &&
           CV_XADD(&image.u->refcount, 0) == 1;
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

void Pipeline::beginStage(int id) {
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

bool Pipeline::runStage(const StageSlider& slider, int position, RunControl* control) {
  prepareNext();
  const StageArgs args{
      position,  scale_,   rng_ ? *rng_ : cv::theRNG(), photoBase.empty() ? srcImage : photoBase,
      grayImage, photoStep};
  const BandFilter band = slider.run(srcImage, args);
  const int rows = srcImage.rows;
  const int fixed = control ? control->bandRows : rows;
  const auto cancelled = [control] {
    return control && control->cancel.load(std::memory_order_acquire);
  };
  int size = 0;
  double seconds = 0;
  for (int start = 0; start < rows; start += size) {
    if (cancelled()) return false;
    size = fixed > 0 ? fixed : nextBandRows(rows, srcImage.cols, size, seconds);
    const int end = std::min(rows, start + size);
    const auto began = std::chrono::steady_clock::now();
    band(cv::Range(start, end), nextImage);
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    if (control && control->bandDone) control->bandDone(end, rows);
  }
  if (cancelled()) return false;
  // The new result takes the place of the last one; the last one's buffer takes the next result,
  // unless it is the base's too.
  cv::Mat previous = dstImage;
  dstImage = nextImage;
  nextImage = previous.data == srcImage.data ? cv::Mat() : previous;
  currentStep = {lastStage, position};
  return true;
}

std::vector<StageStep> Pipeline::chain() const {
  std::vector<StageStep> chain = frozenSteps;
  if (currentStep.id != kNoStage) chain.push_back(currentStep);
  return chain;
}
