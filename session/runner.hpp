// The stage runner: one worker thread, alive for the whole session, runs the slider moves beside
// the event loop. It owns the queue of moves, abandons a run that a newer move of its slider makes
// stale, and keeps what the event loop shows (results, progress, the rows done so far) behind one
// lock. It owns the exact pipeline, which only the worker touches while it runs.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <opencv2/core.hpp>
#include <string>
#include <thread>
#include <vector>

#include "pipeline/pipeline.hpp"

// A run that ended: completed, or failed with the reason. Abandoned runs are not reported.
struct RunReport {
  const StageSlider* slider;
  int position;
  double milliseconds;  // from its start to its end
  std::string failure;  // empty when the run completed
  // The state of the worker's random generator before the run: running the same chain with the
  // generator set to it gives the same noise.
  uint64_t rngState = 0;
};

// The run in progress; `slider` is null when none runs.
struct RunProgress {
  const StageSlider* slider = nullptr;
  int position = 0;
  int rowsDone = 0;
  int rows = 0;
  double seconds = 0;   // since it started
  bool replay = false;  // a step of StageRunner::replay
  int percent() const { return rows > 0 ? static_cast<int>(100LL * rowsDone / rows) : 0; }
};

struct RunnerOptions {
  // Called on the worker when a run has ended, so that the event loop can look at once.
  std::function<void()> wake;
  // Test hooks: every run takes this many milliseconds longer, spread over its bands and
  // abandoned with it; and a file that gets a line "start LABEL POSITION WAIT" for every run,
  // WAIT being the milliseconds from the move that asked for it to its start.
  int slowStageMs = 0;
  std::string timingFile;
  // Called on the worker after each completed run of a move, before the next run starts and
  // before the event loop learns of it: its report and its place in the exact pipeline's chain.
  std::function<void(const RunReport& report, std::size_t step)> completed = nullptr;
};

// A step of a chain to run again, with the worker's random generator as it was before the step
// first ran.
struct ReplayStep {
  const StageSlider* slider;
  int position;
  uint64_t rngState;
};

// All members are called from the thread that owns the windows, never from the worker.
class StageRunner {
 public:
  // The exact pipeline starts from `photo`; the worker starts now.
  explicit StageRunner(cv::Mat photo, RunnerOptions options = {});
  // Abandons what is left and ends the worker.
  ~StageRunner();
  StageRunner(const StageRunner&) = delete;
  StageRunner& operator=(const StageRunner&) = delete;

  // Queues a move of `slider` to `position`. A move right after a queued move of the same slider
  // replaces its position; when that slider's stage is running and nothing else is queued before
  // it, the running run is abandoned, and the move starts again from the same base. Ignored once
  // the runner finishes or abandons.
  void move(const StageSlider& slider, int position);
  // Queues `chain` to run again: each step on the result of the one before and with the generator
  // set as given, so that the result and the chain are those of the runs it was taken from, noise
  // included. The steps are reported as they complete, but not to RunnerOptions::completed.
  void replay(const std::vector<ReplayStep>& chain);

  // Whether a move is running or queued.
  bool busy() const;
  RunProgress progress() const;
  // The runs that ended since the last call, in order.
  std::vector<RunReport> takeReports();

  // Calls `show` with the newest complete result if it has not been shown yet; false if there was
  // none. The worker waits to start its next run while `show` reads the result.
  bool showNewResult(const std::function<void(const cv::Mat&)>& show);
  // Makes `preview` a picture of `size` of the running stage's work: the rows it has finished
  // over the rest of the last result, scaled to the nearest sample. False when nothing runs or
  // no row of the picture has changed since the last call.
  bool updatePreview(cv::Mat& preview, cv::Size size);

  // No more moves are taken; the queued ones still run.
  void finish();
  // No more moves are taken, the queue is dropped and the running run is abandoned: dstImage
  // keeps the last complete result.
  void abandon();
  // Waits for the worker to end. It first runs what is queued, unless abandoned.
  void stop();
  // The exact pipeline: its result and chain. Only once stopped.
  const Pipeline& pipeline() const { return exact_; }

 private:
  using Clock = std::chrono::steady_clock;
  struct Move {
    const StageSlider* slider;
    int position;
    Clock::time_point asked;
    const ReplayStep* replay = nullptr;  // in replaying_
  };

  void work();
  void runMove(const Move& move);
  void bandDone(int rowsDone, int rows);
  void writeTiming(const Move& move, double waitMs) const;

  RunnerOptions options_;
  Pipeline exact_;
  RunControl control_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Move> queue_;
  std::vector<ReplayStep> replaying_;
  bool accepting_ = true;
  bool stopping_ = false;
  RunProgress running_;        // slider null when idle
  Clock::time_point started_;  // of the running run
  std::vector<RunReport> reports_;
  cv::Mat result_;                        // the newest complete result, until it is shown
  bool showing_ = false;                  // the event loop reads result_'s pixels
  cv::Mat next_, last_;                   // the running run's buffer and the result it replaces
  int runs_ = 0;                          // runs started
  int previewRun_ = 0, previewRows_ = 0;  // what the last preview showed

  std::thread worker_;
};
