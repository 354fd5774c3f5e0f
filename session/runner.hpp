// The stage runner: two threads, alive for the whole session, beside the event loop. The worker
// runs the slider moves on the exact pipeline: it owns the queue of moves and abandons a run that a
// newer move of its slider makes stale. The previewer runs every move first on the preview
// pipeline at the photo window's size, and scales every picture the window shows (exact results,
// previews, the rows of a long run) with area averaging. What the event loop shows (pictures,
// progress, reports) is kept behind one lock.
#pragma once

#include <array>
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
#include "pipeline/preview.hpp"

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

// How good a picture of a move is: a later kind of picture of the same move replaces an earlier.
enum class PictureKind : int {
  kCoarse = 1,   // a first impression: the preview at a coarser size, scaled up, or a map of
                 // the window's own samples
  kPreview = 2,  // the preview at the window's size, on the preview's own base
  kPreviewOnExactBase = 3,
  kRows = 4,   // the exact run's finished rows over the preview
  kExact = 5,  // the exact result
};

// What the photo window shows: a picture at the window's size, and for an exact result the
// photo-sized result itself (for zooming in), the histogram of what it shows and, for an exact
// result, the ClipMark bits of every pixel of `fit`. None is written once handed over.
struct Picture {
  cv::Mat fit;
  cv::Mat full;       // empty unless `kind` is kExact
  uint64_t move = 0;  // the move it shows: moves are numbered from 1 in the order they are made
  PictureKind kind = PictureKind::kCoarse;
  cv::Mat marks;  // empty unless `kind` is kExact
  // Of `full` when there is one, else of `fit`.
  Histogram histogram;
};

struct RunnerOptions {
  // Called on a runner thread when there is something new to show, so that the event loop looks
  // at once.
  std::function<void()> wake;
  // Test hooks: every exact run takes this many milliseconds longer, spread over its bands and
  // abandoned with it; and a file that gets a line "move LABEL POSITION WALL" for every move,
  // WALL being the wall-clock milliseconds since 1970 when it came, "start LABEL POSITION WAIT"
  // for every run, WAIT being the milliseconds from the move that asked for it to its start, and
  // "picture MOVE KIND" for every picture offered to the event loop.
  int slowStageMs = 0;
  std::string timingFile;
  // Called on the worker after each completed run of a move, before the next run starts and
  // before the event loop learns of it: its report and its place in the exact pipeline's chain.
  std::function<void(const RunReport& report, std::size_t step)> completed = nullptr;
  // The clock previews are timed by, to choose the size of the next picture (a test's may be
  // slow on purpose); the steady clock when null.
  std::function<std::chrono::steady_clock::time_point()> clock = nullptr;
};

// A step of a chain to run again, with the worker's random generator as it was before the step
// first ran.
struct ReplayStep {
  const StageSlider* slider;
  int position;
  uint64_t rngState;
};

// All members are called from the thread that owns the windows.
class StageRunner {
 public:
  // The exact pipeline starts from `photo`; the threads start now.
  explicit StageRunner(cv::Mat photo, RunnerOptions options = {});
  // Abandons what is left and ends the threads.
  ~StageRunner();
  StageRunner(const StageRunner&) = delete;
  StageRunner& operator=(const StageRunner&) = delete;

  // Queues a move of `slider` to `position`. A move right after a queued move of the same slider
  // replaces its position; when that slider's stage is running and nothing else is queued before
  // it, the running run is abandoned, and the move starts again from the same base. Ignored once
  // the runner finishes or abandons.
  void move(const StageSlider& slider, int position);
  // Queues `chain` to run again on the exact pipeline: each step on the result of the one before
  // and with the generator set as given, so that the result and the chain are those of the runs
  // it was taken from, noise included. The steps are reported and shown as they complete, but not
  // previewed nor passed to RunnerOptions::completed.
  void replay(const std::vector<ReplayStep>& chain);

  // The size of the pictures the photo window shows whole; previews start once it is known, and a
  // new size makes the pictures again.
  void setViewSize(cv::Size size);

  // Whether a move is running or queued on the exact pipeline.
  bool busy() const;
  RunProgress progress() const;
  // The runs that ended since the last call, in order.
  std::vector<RunReport> takeReports();

  // The newest picture, if there is one that was not taken yet.
  bool takePicture(Picture& picture);
  // The photo as opened, at the window's size (kind kExact, move 0), when it was made anew for a
  // new size and not taken yet.
  bool takeOriginal(Picture& picture);

  // No more moves are taken; the queued ones still run.
  void finish();
  // No more moves are taken, the queue is dropped and the running run is abandoned: the exact
  // pipeline keeps the last complete result.
  void abandon();
  // Waits for the threads to end. The worker first runs what is queued, unless abandoned.
  void stop();
  // The exact pipeline: its result and chain. Only once stopped.
  const Pipeline& pipeline() const { return exact_; }

 private:
  using Clock = std::chrono::steady_clock;
  struct Move {
    const StageSlider* slider;
    int position;
    Clock::time_point asked;
    uint64_t number;
    // The number of the move whose base this move builds on: the first of the moves of its
    // slider in a row. The exact pipeline publishes each base under that number.
    uint64_t base;
    const ReplayStep* replay = nullptr;  // in replaying_
  };

  void work();
  void runMove(const Move& move);
  void bandDone(int rowsDone, int rows);
  void writeTiming(const Move& move, double waitMs) const;

  void preview();
  void newViewSize(std::unique_lock<std::mutex>& lock);
  void previewMoves(std::unique_lock<std::mutex>& lock);
  void showExact(std::unique_lock<std::mutex>& lock);
  void previewRows(std::unique_lock<std::mutex>& lock);
  // Offers a picture to the event loop; it replaces the waiting one if it is newer or better.
  void offer(Picture picture);
  Clock::time_point previewClock() const;

  RunnerOptions options_;
  Pipeline exact_;
  RunControl control_;
  // The photo as opened: shared, never written.
  const cv::Mat original_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Move> queue_;
  std::vector<ReplayStep> replaying_;
  bool accepting_ = true;
  bool stopping_ = false;
  uint64_t moves_ = 0;
  Clock::time_point lastMoveAt_;
  const StageSlider* lastSlider_ = nullptr;
  uint64_t lastBase_ = 0;

  // The exact run in progress.
  RunProgress running_;        // slider null when idle
  Clock::time_point started_;  // of the running run
  uint64_t runningMove_ = 0;
  cv::Mat next_;  // the running run's buffer; its reported rows are final
  std::vector<RunReport> reports_;
  // Per stage id, how long its last completed exact run took per unit of its work (0: none yet),
  // the work of a run (StageSlider::work on the photo), and whether a move's run is predicted
  // quick.
  std::array<double, 9> exactMsPerWork_{};
  double exactWork(const StageSlider& slider, int position) const;
  bool quickRun(const Move& move) const;

  // Between the worker and the previewer: the newest base the exact pipeline published and the
  // move it is the base of; the newest exact result not yet scaled for the window.
  cv::Mat exactBase_;
  uint64_t exactBaseMove_ = 0;
  cv::Mat exactResult_;
  uint64_t exactResultMove_ = 0;
  bool exactResultNew_ = false;

  // The previewer's work: moves not previewed yet (the newest of all that were queued, by
  // number), the window's size, and what it last made.
  std::deque<Move> previewQueue_;
  uint64_t newestPreview_ = 0;
  cv::Size viewSize_;
  bool viewSizeNew_ = false;
  PreviewPipeline previewPipeline_;
  PreviewCosts costs_;
  Move previewed_{nullptr, 0, {}, 0, 0};  // the last move previewed
  bool previewedOnExactBase_ = false;
  cv::Mat previewPicture_;     // its picture at the window's size
  int previewing_ = kNoStage;  // the stage being previewed
  bool refining_ = false;      // and whether it follows a coarser picture, which a newer move stops
  RunControl previewControl_;
  Clock::time_point rowsShownAt_;
  bool rowsShown_ = false;

  // The previewer's scaling of an exact run's result as its rows finish: the run (its move and
  // buffer), the window's picture of it so far, its clipping marks and the histogram of the
  // photo's rows counted so far.
  struct ExactScaling {
    uint64_t move = 0;
    const uchar* buffer = nullptr;
    AreaScaling scaling;
    cv::Mat fit, marks;
    int rows = 0;        // of the picture, done
    int sourceRows = 0;  // of the result, counted
    Histogram histogram;
  };
  ExactScaling scaled_;
  // Scales and counts rows [scaled_.sourceRows, sourceRows) of `result`.
  void scaleRows(const cv::Mat& result, int sourceRows);

  // For the event loop: the newest picture, and the best one offered so far; the photo as
  // opened at the window's size.
  Picture picture_;
  bool pictureNew_ = false;
  Picture originalPicture_;
  bool originalNew_ = false;
  uint64_t bestMove_ = 0;
  PictureKind bestKind_ = PictureKind::kCoarse;

  std::thread worker_;
  std::thread previewer_;
};
