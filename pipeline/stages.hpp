// Chief header of the filter stages: the working images that the driver and the slider handlers
// share, the slider value variables, the eight handlers and the stage table that ties them
// together.
#pragma once

#include <array>
#include <opencv2/core.hpp>

#include "filters/library.hpp"
#include "filters/noise.hpp"
#include "pipeline/protocol.hpp"
#include "filters/smooth.hpp"
#include "filters/stretch.hpp"

// Base image that the running stage filters (8-bit BGR).
extern cv::Mat srcImage;
// Last complete result of the stage that ran last; empty until the first run completes.
extern cv::Mat dstImage;
// The result being computed, in a buffer shared with neither srcImage nor dstImage.
extern cv::Mat nextImage;
// One-channel brightness scratch image of the brightness stretch.
extern cv::Mat grayImage;
// Id of the stage that last wrote dstImage; 0 before any stage ran.
extern int lastStage;

// Slider positions; highgui writes each before it calls the slider's handler.
extern int bilateralValue;
extern int blurValue;
extern int stretchCValue;
extern int stretchPValue;
extern int smoothValue;
extern int noiseValue;
extern int blackValue;
extern int whiteValue;

// Slider handlers in highgui's callback form. Both arguments are ignored: each handler reads its
// own value variable.
void onBilateral(int, void*);
void onBlur(int, void*);
void onStretchC(int, void*);
void onStretchP(int, void*);
void onSmooth(int, void*);
void onNoise(int, void*);
void onBlackToZero(int, void*);
void onWhiteToZero(int, void*);

using StageHandler = void (*)(int, void*);

// One slider of the control window. `initial` is what `value` holds before the driver runs.
struct StageSlider {
  const char* label;
  int* value;
  int initial;
  int maximum;
  int id;
  StageHandler handler;
};

// The sliders in the order the driver creates them. "Black->0" comes before "White->0" but has
// the higher id, and "White->0" is the only slider that starts at its maximum.
inline const std::array<StageSlider, 8> kStageTable = {{
    {"Bilateral", &bilateralValue, 0, 20, 1, onBilateral},
    {"Blur", &blurValue, 0, 30, 2, onBlur},
    {"C.StretchC", &stretchCValue, 0, 100, 3, onStretchC},
    {"C.StretchP", &stretchPValue, 0, 100, 4, onStretchP},
    {"C.Smooth", &smoothValue, 0, 100, 5, onSmooth},
    {"G.noise", &noiseValue, 0, 100, 6, onNoise},
    {"Black->0", &blackValue, 0, 255, 8, onBlackToZero},
    {"White->0", &whiteValue, 255, 255, 7, onWhiteToZero},
}};

// The slider of the stage `id`; null when there is none.
inline const StageSlider* sliderById(int id) {
  for (const StageSlider& slider : kStageTable)
    if (slider.id == id) return &slider;
  return nullptr;
}

// Puts every working image, lastStage and every value variable back to its state at start-up.
// The tool itself never needs this; tests do, between cases.
void resetStages();
