// Chief header of the pipeline: the stage ids and the stage table that declares every slider
// (label, range, start position, id, what a move of it runs and how that scales to a smaller
// picture). The pipeline value that runs the stage protocol over it is in pipeline/pipeline.hpp.
#pragma once

#include <array>
#include <functional>
#include <opencv2/core.hpp>

#include "filters/library.hpp"
#include "filters/noise.hpp"
#include "filters/smooth.hpp"
#include "filters/stretch.hpp"

// Stage ids, as stored in lastStage.
enum StageId : int {
  kNoStage = 0,
  kBilateralStage = 1,
  kBlurStage = 2,
  kStretchCStage = 3,
  kStretchPStage = 4,
  kSmoothStage = 5,
  kNoiseStage = 6,
  kWhiteToZeroStage = 7,
  kBlackToZeroStage = 8,
};

// One step of the chain that made a result: a stage and the slider position it ran at.
struct StageStep {
  int id;
  int value;
  bool operator==(const StageStep& other) const { return id == other.id && value == other.value; }
};

// What one run of a stage reads besides its source.
struct StageArgs {
  int position;
  // Size of the picture the stage runs on against the photo's (1: the photo itself). Spatial
  // parameters follow it; tone parameters do not.
  double scale;
  // The generator noise draws from.
  cv::RNG& rng;
  // The base at the photo's size, on which statistics of the whole picture (a stretch's range) are
  // measured: averaging pulls the extremes in, so a smaller picture's own range would stretch
  // differently. The source itself when the stage runs on the photo or that base is not made yet.
  const cv::Mat& photoBase;
  // Scratch for the brightness image of the brightness stretch.
  cv::Mat& gray;
};

// Writes rows `rows` of `dst` (which has the source's size and type, in a buffer of its own).
using BandFilter = std::function<void(const cv::Range& rows, cv::Mat& dst)>;

// What a move of a slider runs: the per-run preparation over the whole source (a range scan, say),
// returning the filter of one band. `src` outlives the returned filter.
using StageFunction = BandFilter (*)(const cv::Mat& src, const StageArgs& args);

// How a stage is previewed on a picture smaller than the photo.
enum class PreviewRule {
  // Runs on the small picture with its spatial parameters scaled (StageArgs::scale).
  kScaled,
  // Cheap on the photo and not commuting with averaging (thresholds, the truncation of the
  // smoothing): the exact run ends within moments, and its result scaled down is the faithful
  // picture. The stage run on the small picture only gives a first impression until then.
  kExactScaled,
};

// One slider of the control window and the stage behind it.
struct StageSlider {
  const char* label;
  int initial;  // position at start-up
  int maximum;  // every slider starts its range at 0
  int id;
  StageFunction run;
  PreviewRule preview;
};

// What each slider's move runs. A position and scale in, the filter of a band out.
BandFilter onBilateral(const cv::Mat& src, const StageArgs& args);
BandFilter onBlur(const cv::Mat& src, const StageArgs& args);
BandFilter onStretchC(const cv::Mat& src, const StageArgs& args);
BandFilter onStretchP(const cv::Mat& src, const StageArgs& args);
BandFilter onSmooth(const cv::Mat& src, const StageArgs& args);
BandFilter onNoise(const cv::Mat& src, const StageArgs& args);
BandFilter onBlackToZero(const cv::Mat& src, const StageArgs& args);
BandFilter onWhiteToZero(const cv::Mat& src, const StageArgs& args);

// The sliders in the order the control window shows them. "Black->0" comes before "White->0" but
// has the higher id, and "White->0" is the only slider that starts at its maximum.
inline const std::array<StageSlider, 8> kStageTable = {{
    {"Bilateral", 0, 20, kBilateralStage, onBilateral, PreviewRule::kScaled},
    {"Blur", 0, 30, kBlurStage, onBlur, PreviewRule::kScaled},
    {"C.StretchC", 0, 100, kStretchCStage, onStretchC, PreviewRule::kScaled},
    {"C.StretchP", 0, 100, kStretchPStage, onStretchP, PreviewRule::kScaled},
    {"C.Smooth", 0, 100, kSmoothStage, onSmooth, PreviewRule::kExactScaled},
    {"G.noise", 0, 100, kNoiseStage, onNoise, PreviewRule::kScaled},
    {"Black->0", 0, 255, kBlackToZeroStage, onBlackToZero, PreviewRule::kExactScaled},
    {"White->0", 255, 255, kWhiteToZeroStage, onWhiteToZero, PreviewRule::kExactScaled},
}};

// The slider of the stage `id`; null when there is none.
inline const StageSlider* sliderById(int id) {
  for (const StageSlider& slider : kStageTable)
    if (slider.id == id) return &slider;
  return nullptr;
}

