// Slider moves made on the calling thread through a fresh pipeline, as the tool's worker makes
// them.
#pragma once

#include <stdexcept>
#include <vector>

#include "pipeline/pipeline.hpp"

inline const StageSlider& sliderOf(int id) {
  if (const StageSlider* slider = sliderById(id)) return *slider;
  throw std::logic_error("no such stage");
}

// Makes `moves` one after another on `pipeline`.
inline void makeMoves(Pipeline& pipeline, const std::vector<StageStep>& moves) {
  for (const StageStep& move : moves) pipeline.move(sliderOf(move.id), move.value);
}

// The result of `moves` made one after another on a freshly opened `photo`.
inline cv::Mat afterMoves(const cv::Mat& photo, const std::vector<StageStep>& moves) {
  Pipeline pipeline(photo.clone());
  makeMoves(pipeline, moves);
  return pipeline.result().clone();
}
