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
  // For a quicker, coarser picture: a map of each sample reads every photoStep-th sample of every
  // photoStep-th row of photoBase only.
  int photoStep = 1;
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
  // A map of each sample that does not commute with averaging (thresholds, the truncations of the
  // smoothing): the small picture is the map of every sample of the photo-sized base, area-scaled
  // in one pass, which for the cut-offs is their exact result scaled. Without that base the map
  // runs on the small picture's own samples, a first impression only.
  kMapped,
};

// From which distance from the slider's start a picture at a coarser level of the preview (1: half
// the window's size, or for a map every other sample of every other row; 2: a quarter, or every
// fourth) is closer to the exact result than the picture before the move, so that showing it
// first moves toward the result. kNever: at no distance.
inline constexpr int kNever = 1 << 20;
using CoarseFrom = std::array<int, 2>;

// One slider of the control window and the stage behind it.
struct StageSlider {
  const char* label;
  int initial;  // position at start-up
  int maximum;  // every slider starts its range at 0
  int id;
  StageFunction run;
  PreviewRule preview;
  // The work of one run per pixel at `position` on a picture `scale` times the photo's size, in
  // units its time grows with (the bilateral filter: its diameter squared).
  double (*work)(int position, double scale);
  CoarseFrom coarseFrom;
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

// Work per pixel of each kind of stage.
double bilateralWork(int position, double scale);
double blurWork(int position, double scale);
double sampleWork(int position, double scale);

// The sliders in the order the control window shows them. "Black->0" comes before "White->0" but
// has the higher id, and "White->0" is the only slider that starts at its maximum. The distances
// from the start from which coarser pictures may come first are measured by
// scripts/responsiveness-report (its levels part).
// clang-format off
inline const std::array<StageSlider, 8> kStageTable = {{
    {"Bilateral", 0, 20, kBilateralStage, onBilateral,
     PreviewRule::kScaled, bilateralWork, {9, 9}},
    {"Blur", 0, 30, kBlurStage, onBlur,
     PreviewRule::kScaled, blurWork, {8, 9}},
    {"C.StretchC", 0, 100, kStretchCStage, onStretchC,
     PreviewRule::kScaled, sampleWork, {31, 41}},
    {"C.StretchP", 0, 100, kStretchPStage, onStretchP,
     PreviewRule::kScaled, sampleWork, {26, 36}},
    {"C.Smooth", 0, 100, kSmoothStage, onSmooth,
     PreviewRule::kMapped, sampleWork, {1, 56}},
    {"G.noise", 0, 100, kNoiseStage, onNoise,
     PreviewRule::kScaled, sampleWork, {kNever, kNever}},
    {"Black->0", 0, 255, kBlackToZeroStage, onBlackToZero,
     PreviewRule::kMapped, sampleWork, {26, 36}},
    {"White->0", 255, 255, kWhiteToZeroStage, onWhiteToZero,
     PreviewRule::kMapped, sampleWork, {76, 86}},
}};
// clang-format on

// The slider of the stage `id`; null when there is none.
inline const StageSlider* sliderById(int id) {
  for (const StageSlider& slider : kStageTable)
    if (slider.id == id) return &slider;
  return nullptr;
}
