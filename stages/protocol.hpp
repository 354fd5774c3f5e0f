// The protocol every slider handler follows: commit the previous stage's result into the base when
// the stage changes, record the running stage, and show the result.
#pragma once

#include <opencv2/core.hpp>

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

// Name of the window every stage shows its result in.
inline constexpr const char* kImageWindow = "Image";

// Commit test and stage record: if another stage ran last, its result becomes the new base;
// then `id` is the running stage.
void beginStage(int id);

// Shows dstImage through the current display function.
void showResult();

// How results reach the screen. The default shows dstImage in the "Image" window with
// cv::imshow; the tool may install its own (to scale large photos, say).
using DisplayFunction = void (*)(const cv::Mat& image);
void setDisplayFunction(DisplayFunction display);
