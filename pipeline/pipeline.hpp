// The stage protocol as a value: the working images, the stage that ran last and the chain that
// made the result. A move of a slider commits the previous stage's result into the base when the
// stage changes, then computes the new result band by band (so that a run can report progress and
// be abandoned) into a buffer of its own, and makes it the result. The tool keeps two: the exact
// one on the photo, and a small one on a picture the size of the window.
#pragma once

#include <atomic>
#include <functional>
#include <opencv2/core.hpp>
#include <vector>

#include "pipeline/stages.hpp"

// Progress and cancellation of one run. Without one, a run goes to completion in one band.
struct RunControl {
  // Set from any thread to abandon the run in progress; read between row bands. The caller clears
  // it before the next run.
  std::atomic<bool> cancel{false};
  // Called on the running thread after each band: rows [0, rowsDone) of the running result are
  // final and are not written again during this run.
  std::function<void(int rowsDone, int rows)> bandDone;
  // Rows per band; 0 sizes the bands from the measured speed to about 80 ms of work each.
  int bandRows = 0;
};

class Pipeline {
 public:
  Pipeline() = default;
  // `photo` becomes the base; it is read, never written. `scale` is the photo's size against the
  // one the tool saves (1 for the exact pipeline). Noise draws from `rng`, or when it is null from
  // the running thread's default generator (cv::theRNG()).
  explicit Pipeline(cv::Mat photo, double scale = 1.0, cv::RNG* rng = nullptr);

  // Commit test and stage record: if another stage ran last, its result becomes the new base (the
  // base and the result then share one buffer, which nothing writes); then `id` is the running
  // stage.
  void beginStage(int id);
  // The base a run of stage `id` would filter after beginStage(id), which changes nothing.
  const cv::Mat& baseFor(int id) const {
    return lastStage != id && lastStage != kNoStage && !dstImage.empty() ? dstImage : srcImage;
  }

  // Computes the running stage's result at `position` into a buffer of its own, band by band from
  // the top. When every band has run, the new result becomes dstImage and the chain records the
  // stage at `position`; returns true. When `control` cancels it, returns false and dstImage still
  // holds the last complete result.
  bool runStage(const StageSlider& slider, int position, RunControl* control = nullptr);

  // A move of `slider` to `position`: beginStage, then runStage.
  bool move(const StageSlider& slider, int position, RunControl* control = nullptr) {
    beginStage(slider.id);
    return runStage(slider, position, control);
  }

  // The steps that made dstImage, in order: every frozen stage, then the current stage at the
  // position of its last complete run. Empty before any run completes.
  std::vector<StageStep> chain() const;

  // The picture as it stands: the last complete result, or the base before any run.
  const cv::Mat& result() const { return dstImage.empty() ? srcImage : dstImage; }
  // The buffer the running stage writes; rows a band has reported done are final.
  const cv::Mat& running() const { return nextImage; }
  double scale() const { return scale_; }

  // Base image that the running stage filters (8-bit BGR).
  cv::Mat srcImage;
  // Last complete result of the stage that ran last; empty until the first run completes.
  cv::Mat dstImage;
  // One-channel brightness scratch image of the brightness stretch.
  cv::Mat grayImage;
  // Id of the stage that last wrote dstImage; 0 before any stage ran.
  int lastStage = kNoStage;
  // For a pipeline smaller than the photo: the photo-sized image srcImage stands for, when it is
  // known (StageArgs::photoBase).
  cv::Mat photoBase;
  // StageArgs::photoStep.
  int photoStep = 1;

 private:
  void prepareNext();

  double scale_ = 1.0;
  cv::RNG* rng_ = nullptr;
  // The result being computed, in a buffer shared with neither srcImage nor dstImage, and a
  // photo-sized buffer that none of the three uses, kept for the next result.
  cv::Mat nextImage;
  cv::Mat spareImage;
  // The frozen steps of the chain, and the current stage's last complete run (id 0: none yet).
  std::vector<StageStep> frozenSteps;
  StageStep currentStep{kNoStage, 0};
};
