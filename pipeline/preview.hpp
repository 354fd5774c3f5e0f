// The preview pipeline: the stage protocol on a picture the size of the photo window, made from the
// photo with area averaging, so that a move shows a faithful picture long before the exact run on
// the photo ends. Every stage runs on the small picture, those whose parameters scale with their
// parameters scaled. When the exact pipeline has not made the base a move builds on yet, the
// preview builds on its own last result.
#pragma once

#include <opencv2/core.hpp>

#include "pipeline/pipeline.hpp"

// `image` scaled to `size` with area averaging (a copy when the size is the image's own).
cv::Mat areaScaled(const cv::Mat& image, cv::Size size);

class PreviewPipeline {
 public:
  PreviewPipeline() = default;
  // The preview of `photo` at `size` (no larger than the photo). Noise draws from a generator of
  // its own, never from the exact pipeline's.
  PreviewPipeline(const cv::Mat& photo, cv::Size size);

  // A move of `slider` to `position`. `exactBase` is the photo-sized base this move builds on
  // when the exact pipeline has made it (the preview then starts again from it), or empty.
  // Returns false when `control` cancelled the run; the last picture stays.
  bool move(const StageSlider& slider, int position, const cv::Mat& exactBase,
            RunControl* control = nullptr);

  // A quick, coarser picture of the same move at the same size: the stage runs on a picture
  // `factor` times smaller and is scaled up. Changes nothing of the pipeline's state; call it
  // after move's commit, that is with the base the move builds on (see beginMove).
  cv::Mat coarse(const StageSlider& slider, int position, int factor);
  // The commit test of a move of `slider`, with the base taken from `exactBase` when given.
  void beginMove(const StageSlider& slider, const cv::Mat& exactBase);

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
};
