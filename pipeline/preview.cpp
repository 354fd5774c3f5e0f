// The preview pipeline.
#include "pipeline/preview.hpp"

#include <algorithm>
#include <opencv2/imgproc.hpp>

cv::Mat areaScaled(const cv::Mat& image, cv::Size size) {
  if (image.size() == size) return image.clone();
  cv::Mat scaled;
  cv::resize(image, scaled, size, 0, 0, cv::INTER_AREA);
  return scaled;
}

namespace {

double scaleOf(cv::Size size, cv::Size photo) {
  return photo.width > 0 ? double(size.width) / photo.width : 1.0;
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

cv::Mat PreviewPipeline::coarse(const StageSlider& slider, int position, int factor) {
  const cv::Size small(std::max(1, size_.width / factor), std::max(1, size_.height / factor));
  Pipeline quick(areaScaled(pipeline_.srcImage, small),
                 pipeline_.scale() * small.width / size_.width, &rng_);
  quick.move(slider, position);
  cv::Mat picture;
  cv::resize(quick.result(), picture, size_, 0, 0, cv::INTER_LINEAR);
  return picture;
}
