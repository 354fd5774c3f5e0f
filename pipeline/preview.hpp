// The preview pipeline: the stage protocol on a picture the size of the photo window, made from the
// photo with area averaging, so that a move shows a faithful picture long before the exact run on
// the photo ends. Every stage runs on the small picture, those whose parameters scale with their
// parameters scaled, and the per-sample maps on the photo-sized base scaled in one pass. When the
// exact pipeline has not made the base a move builds on yet, the preview builds on its own last
// result. A pyramid of its base (the window's size, a half, a quarter) gives quicker, coarser
// pictures, and the costs of previews seen so far tell which level fits a frame.
#pragma once

#include <array>
#include <opencv2/core.hpp>

#include "pipeline/pipeline.hpp"
#include "pipeline/scaling.hpp"

class PreviewPipeline {
 public:
  // Levels of the pyramid: 0 is the window's size, each next one half the one before.
  static constexpr int kLevels = 3;

  PreviewPipeline() = default;
  // The preview of `photo` at `size` (no larger than the photo). Noise draws from a generator of
  // its own, never from the exact pipeline's.
  PreviewPipeline(const cv::Mat& photo, cv::Size size);

  // A move of `slider` to `position`. `exactBase` is the photo-sized base this move builds on
  // when the exact pipeline has made it (the preview then starts again from it), or empty.
  // Returns false when `control` cancelled the run; the last picture stays.
  bool move(const StageSlider& slider, int position, const cv::Mat& exactBase,
            RunControl* control = nullptr);

  // A quicker picture of the same move at the same size: the stage runs on level `level` of the
  // pyramid and is scaled up, or a map reads every 2^level-th sample of the photo-sized base.
  // Changes nothing of the pipeline's state; call it after the move's commit, that is with the
  // base the move builds on (see beginMove).
  cv::Mat coarse(const StageSlider& slider, int position, int level);
  // The commit test of a move of `slider`, with the base taken from `exactBase` when given.
  void beginMove(const StageSlider& slider, const cv::Mat& exactBase);
  // Whether the base of the move begun last is the photo-sized base the exact pipeline made.
  bool onExactBase() const { return !exactBase_.empty(); }

  // The picture as it stands.
  const cv::Mat& picture() const { return pipeline_.result(); }
  cv::Size size() const { return size_; }
  bool empty() const { return size_.area() == 0; }

 private:
  cv::Size size_;
  cv::RNG rng_;
  Pipeline pipeline_;
  // The photo-sized base the small one was last made from, while it is the base.
  cv::Mat exactBase_;
  // Levels 1 and up of the pyramid of the base, made when first asked for.
  std::array<cv::Mat, kLevels> levels_;
  const uchar* levelsOf_ = nullptr;  // the base they were made of
};

// What previews cost: a time per unit of work for each stage, learnt from the previews timed so
// far, times the work a picture takes (its pixels times the stage's work per pixel at its
// position and scale; the maps: the photo-sized base's pixels). Picks the level of a move's first
// picture.
class PreviewCosts {
 public:
  PreviewCosts();
  // The sizes of the window's picture and of the photo.
  void setSizes(cv::Size window, cv::Size photo);

  double predictMs(const StageSlider& slider, int position, int level) const;
  // A preview at that level took `ms`.
  void measured(const StageSlider& slider, int position, int level, double ms);

  // The level of the first picture of a move: the finest level the stage's table allows at
  // `position` (by its distance from the slider's start) whose picture is predicted within
  // `budgetMs`; when none is, the coarsest allowed.
  int firstLevel(const StageSlider& slider, int position, double budgetMs) const;

 private:
  double work(const StageSlider& slider, int position, int level) const;

  cv::Size window_, photo_;
  std::array<double, 9> msPerWork_;  // by stage id
  std::array<bool, 9> measured_{};
};
