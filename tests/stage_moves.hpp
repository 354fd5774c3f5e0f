// Slider moves made on the calling thread, as the tool makes them without its worker.
#pragma once

#include <stdexcept>
#include <vector>

#include "pipeline/stages.hpp"

inline const StageSlider& sliderOf(int id) {
  if (const StageSlider* slider = sliderById(id)) return *slider;
  throw std::logic_error("no such stage");
}

// The result of `moves` made one after another on a freshly opened `photo`, shown nowhere.
inline cv::Mat afterMoves(const cv::Mat& photo, const std::vector<StageStep>& moves) {
  resetStages();
  setDisplayFunction([](const cv::Mat&) {});
  srcImage = photo.clone();
  for (const StageStep& move : moves) {
    *sliderOf(move.id).value = move.value;
    sliderOf(move.id).handler(0, nullptr);
  }
  return dstImage.clone();
}
