// The protocol every slider handler follows: commit the previous stage's result into the base when
// the stage changes, record the running stage, compute the new result band by band (so that a run
// can report progress and be abandoned), make it the result and show it.
#pragma once

#include <atomic>
#include <functional>
#include <opencv2/core.hpp>
#include <vector>

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

// One step of the chain that made dstImage: a stage and the slider position it ran at.
struct StageStep {
  int id;
  int value;
  bool operator==(const StageStep& other) const { return id == other.id && value == other.value; }
};

// Progress and cancellation of stage runs, installed by whoever calls the handlers (the tool's
// worker thread). Without one, every run goes to completion and reports nothing.
struct RunControl {
  // Set from any thread to abandon the run in progress; read between row bands. The runner
  // clears it before the next run.
  std::atomic<bool> cancel{false};
  // Called on the running thread after each band: rows [0, rowsDone) of nextImage are final and
  // are not written again during this run.
  std::function<void(int rowsDone, int rows)> bandDone;
  // Rows per band; 0 leaves the choice to the stage protocol, which sizes the bands from the
  // measured speed to about 80 ms of work each.
  int bandRows = 0;
};
void setRunControl(RunControl* control);

// Writes rows `rows` of nextImage from srcImage (nextImage already has srcImage's size and type).
using BandFilter = std::function<void(const cv::Range& rows)>;

// Commit test and stage record: if another stage ran last, its result becomes the new base (the
// base and the result then share one buffer, which nothing writes); then `id` is the running
// stage.
void beginStage(int id);

// Computes the running stage's result into nextImage, a buffer of its own, calling `band` for row
// bands in order from the top. When every band has run, the new result becomes dstImage, the chain
// records the stage at `value`, and the result is shown; the function returns true. When the run
// is cancelled it returns false and dstImage still holds the last complete result.
bool runStage(int value, const BandFilter& band);

// The steps that made dstImage, in order: every frozen stage, then the current stage at the
// position of its last complete run. Empty before any run completes.
std::vector<StageStep> stageChain();

// Shows dstImage through the current display function.
void showResult();

// How results reach the screen. The default shows dstImage in the "Image" window with
// cv::imshow; the tool may install its own (to scale large photos, say, or to hand it to the
// thread that owns the windows).
using DisplayFunction = void (*)(const cv::Mat& image);
void setDisplayFunction(DisplayFunction display);
