// The preview pipeline and what its pictures cost.
#include "pipeline/preview.hpp"

#include <algorithm>
#include <cstdlib>
#include <opencv2/imgproc.hpp>

namespace {

double scaleOf(cv::Size size, cv::Size photo) {
  return photo.width > 0 ? double(size.width) / photo.width : 1.0;
}

cv::Size levelSize(cv::Size size, int level) {
  return cv::Size(std::max(1, size.width >> level), std::max(1, size.height >> level));
}

}  // namespace

PreviewPipeline::PreviewPipeline(const cv::Mat& photo, cv::Size size)
    : size_(size),
      rng_(0x5eed),
      pipeline_(areaScaled(photo, size), scaleOf(size, photo.size()), &rng_),
      exactBase_(photo) {}

void PreviewPipeline::beginMove(const StageSlider& slider, const cv::Mat& exactBase) {
  const uchar* before = pipeline_.srcImage.data;
  pipeline_.beginStage(slider.id);
  if (!exactBase.empty()) {
    // A base the exact pipeline has made replaces the preview's own approximation of it.
    if (exactBase.data != exactBase_.data || pipeline_.srcImage.data != before) {
      exactBase_ = exactBase;
      pipeline_.srcImage = areaScaled(exactBase, size_);
    }
  } else if (pipeline_.srcImage.data != before) {
    // The preview froze its own result: the photo-sized base it had is no longer the base.
    exactBase_.release();
  }
  pipeline_.photoBase = exactBase_;
}

bool PreviewPipeline::move(const StageSlider& slider, int position, const cv::Mat& exactBase,
                           RunControl* control) {
  beginMove(slider, exactBase);
  return pipeline_.runStage(slider, position, control);
}

cv::Mat PreviewPipeline::coarse(const StageSlider& slider, int position, int level) {
  if (levelsOf_ != pipeline_.srcImage.data) {
    levelsOf_ = pipeline_.srcImage.data;
    levels_[0] = pipeline_.srcImage;
    for (int i = 1; i < kLevels; ++i) levels_[i] = areaScaled(levels_[i - 1], levelSize(size_, i));
  }
  level = std::clamp(level, 0, kLevels - 1);
  if (slider.preview == PreviewRule::kMapped && !exactBase_.empty()) {
    // A map reads fewer samples of the photo-sized base, into the window's picture itself.
    Pipeline sampled(pipeline_.srcImage, pipeline_.scale(), &rng_);
    sampled.photoBase = exactBase_;
    sampled.photoStep = 1 << level;
    sampled.move(slider, position);
    return sampled.result();
  }
  const cv::Mat& small = levels_[level];
  Pipeline quick(small, pipeline_.scale() * small.cols / size_.width, &rng_);
  quick.photoBase = exactBase_;
  quick.move(slider, position);
  cv::Mat picture;
  cv::resize(quick.result(), picture, size_, 0, 0, cv::INTER_LINEAR);
  return picture;
}

PreviewCosts::PreviewCosts() {
  // Until measured: ms per unit of work on two cores of the build machine (lumivet-bench's
  // Preview/... and AreaScaled figures).
  msPerWork_.fill(2e-6);
  msPerWork_[kBilateralStage] = 0.25e-6;
  msPerWork_[kBlurStage] = 0.1e-6;
  msPerWork_[kNoiseStage] = 15e-6;
}

void PreviewCosts::setSizes(cv::Size window, cv::Size photo) {
  window_ = window;
  photo_ = photo;
}

double PreviewCosts::work(const StageSlider& slider, int position, int level) const {
  if (slider.preview == PreviewRule::kMapped) return double(photo_.area()) / (1 << (2 * level));
  const cv::Size size = levelSize(window_, level);
  return double(size.area()) * slider.work(position, scaleOf(size, photo_));
}

double PreviewCosts::predictMs(const StageSlider& slider, int position, int level) const {
  return msPerWork_[slider.id] * work(slider, position, level);
}

void PreviewCosts::measured(const StageSlider& slider, int position, int level, double ms) {
  const double units = work(slider, position, level);
  if (units <= 0) return;
  // The first measurement replaces the guess; later, half the last measurement and half what
  // was known, so that one slow preview (the machine busy for a moment) does not decide alone.
  const double perWork = ms / units;
  msPerWork_[slider.id] = measured_[slider.id] ? 0.5 * (msPerWork_[slider.id] + perWork) : perWork;
  measured_[slider.id] = true;
}

int PreviewCosts::firstLevel(const StageSlider& slider, int position, double budgetMs) const {
  int coarsest = 0;
  for (int level = 0; level < PreviewPipeline::kLevels; ++level) {
    if (level > 0 && std::abs(position - slider.initial) < slider.coarseFrom[level - 1]) continue;
    if (predictMs(slider, position, level) <= budgetMs) return level;
    coarsest = level;
  }
  return coarsest;
}
