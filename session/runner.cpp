// The stage runner's worker and previewer threads and the hand-over of their pictures to the
// event loop.
#include "session/runner.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <new>
#include <opencv2/imgproc.hpp>

#include "filters/fpmode.hpp"

namespace {

template <typename Duration>
double milliseconds(Duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

// A picture of a move that is still changing should come within one frame of 50 ms (20 a second),
// drawing included.
constexpr double kFrameBudgetMs = 35;
// The exact run of the newest move of a slow stage waits until the slider has rested this long:
// during a drag it would be abandoned at the next move, and meanwhile take the cores from the
// previews and the windows. A run predicted to take less than kQuickRunMs (from the stage's work at
// its position and how long its last exact run took for its work) starts at once.
constexpr auto kRestBeforeRun = std::chrono::milliseconds(100);
constexpr double kQuickRunMs = 25;
// A long exact run shows its finished rows once it has run this long, and then at most this often.
constexpr auto kRowsAfter = std::chrono::milliseconds(500);
constexpr auto kRowsEvery = std::chrono::milliseconds(250);
// The previewer scales the finished rows of a run in steps of about this many source pixels, so
// that a new move need not wait long for it.
constexpr double kScaleStepPixels = 4e6;

}  // namespace

StageRunner::StageRunner(cv::Mat photo, RunnerOptions options)
    : options_(std::move(options)), exact_(photo), original_(photo) {
  // The photo is the base of the first move, and the picture to show until a move is made.
  exactBase_ = exact_.srcImage;
  exactBaseMove_ = 1;
  exactResult_ = exact_.srcImage;
  exactResultNew_ = true;
  control_.bandDone = [this](int rowsDone, int rows) { bandDone(rowsDone, rows); };
  worker_ = std::thread([this] { work(); });
  previewer_ = std::thread([this] { preview(); });
}

StageRunner::~StageRunner() {
  abandon();
  stop();
}

void StageRunner::move(const StageSlider& slider, int position) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!accepting_) return;
    const Clock::time_point now = Clock::now();
    const uint64_t number = ++moves_;
    lastMoveAt_ = now;
    const bool sameSlider = lastSlider_ && lastSlider_->id == slider.id;
    const uint64_t base = sameSlider ? lastBase_ : number;
    lastSlider_ = &slider;
    lastBase_ = base;
    const Move made{&slider, position, now, number, base};
    if (!queue_.empty() && queue_.back().slider->id == slider.id && !queue_.back().replay) {
      queue_.back() = made;
    } else {
      queue_.push_back(made);
    }
    // The running result would only be replaced by this move: nothing queued builds on it.
    if (running_.slider && running_.slider->id == slider.id &&
        queue_.front().slider->id == slider.id) {
      control_.cancel = true;
    }
    if (refining_ && previewing_ == slider.id) previewControl_.cancel = true;
    previewQueue_.push_back(made);
    newestPreview_ = number;
  }
  changed_.notify_all();
  if (!options_.timingFile.empty()) {
    const auto wall = std::chrono::system_clock::now().time_since_epoch();
    std::ofstream(options_.timingFile, std::ios::app)
        << "move " << slider.label << ' ' << position << ' ' << std::fixed << milliseconds(wall)
        << '\n';
  }
}

void StageRunner::replay(const std::vector<ReplayStep>& chain) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!accepting_ || !replaying_.empty()) return;
    replaying_ = chain;
    for (const ReplayStep& step : replaying_) {
      const uint64_t number = ++moves_;
      queue_.push_back({step.slider, step.position, Clock::now(), number, number, &step});
      lastSlider_ = step.slider;
      lastBase_ = number;
    }
  }
  changed_.notify_all();
}

void StageRunner::setViewSize(cv::Size size) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (size == viewSize_ || size.area() <= 0) return;
    viewSize_ = size;
    viewSizeNew_ = true;
  }
  changed_.notify_all();
}

bool StageRunner::busy() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return running_.slider || !queue_.empty();
}

RunProgress StageRunner::progress() const {
  std::lock_guard<std::mutex> lock(mutex_);
  RunProgress progress = running_;
  if (progress.slider) progress.seconds = milliseconds(Clock::now() - started_) / 1000;
  return progress;
}

std::vector<RunReport> StageRunner::takeReports() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<RunReport> reports;
  reports.swap(reports_);
  return reports;
}

bool StageRunner::takePicture(Picture& picture) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!pictureNew_) return false;
  picture = std::move(picture_);
  picture_ = Picture{};
  pictureNew_ = false;
  return true;
}

bool StageRunner::takeOriginal(Picture& picture) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!originalNew_) return false;
  picture = originalPicture_;
  originalNew_ = false;
  return true;
}

void StageRunner::finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  accepting_ = false;
}

void StageRunner::abandon() {
  std::lock_guard<std::mutex> lock(mutex_);
  accepting_ = false;
  queue_.clear();
  control_.cancel = true;
}

void StageRunner::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    accepting_ = false;
    stopping_ = true;
    previewControl_.cancel = true;
  }
  changed_.notify_all();
  if (worker_.joinable()) worker_.join();
  if (previewer_.joinable()) previewer_.join();
}

void StageRunner::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    // The newest move of a slow stage, which nothing queued builds on, waits for the slider to
    // rest, unless the session is ending. Its base is there already: the previews build on it
    // meanwhile.
    while (accepting_ && queue_.size() == 1 && !queue_.front().replay &&
           queue_.front().number == moves_ && !quickRun(queue_.front()) &&
           Clock::now() < lastMoveAt_ + kRestBeforeRun) {
      const Move& next = queue_.front();
      if (exactBaseMove_ != next.base) {
        exactBase_ = exact_.baseFor(next.slider->id);
        exactBaseMove_ = next.base;
        changed_.notify_all();
      }
      changed_.wait_until(lock, lastMoveAt_ + kRestBeforeRun);
    }
    if (queue_.empty()) {
      if (stopping_) return;
      continue;
    }
    const Move move = queue_.front();
    queue_.pop_front();
    running_ = RunProgress{move.slider, move.position, 0, 0, 0, move.replay != nullptr};
    started_ = Clock::now();
    runningMove_ = move.number;
    control_.cancel = false;
    lock.unlock();
    runMove(move);
    if (options_.wake) options_.wake();
    lock.lock();
  }
}

double StageRunner::exactWork(const StageSlider& slider, int position) const {
  return slider.work(position, 1.0) * double(original_.total());
}

bool StageRunner::quickRun(const Move& move) const {
  const double perWork = exactMsPerWork_[move.slider->id];
  return perWork > 0 && perWork * exactWork(*move.slider, move.position) < kQuickRunMs;
}

void StageRunner::runMove(const Move& move) {
  const StageSlider& slider = *move.slider;
  if (!options_.timingFile.empty()) writeTiming(move, milliseconds(started_ - move.asked));
  std::string failure;
  if (move.replay) {
    // Every step but the first stands on the one before, frozen, even a run of the same stage.
    exact_.beginStage(kNoStage);
    cv::theRNG().state = move.replay->rngState;
  }
  const uint64_t rngState = cv::theRNG().state;
  bool completed = false;
  try {
    const DenormalsFlushed flushed;  // the same samples, without slow denormal arithmetic
    exact_.beginStage(slider.id);
    {
      // The base this move and the moves of its slider after it build on.
      std::lock_guard<std::mutex> lock(mutex_);
      exactBase_ = exact_.srcImage;
      exactBaseMove_ = move.base;
    }
    changed_.notify_all();
    completed = exact_.runStage(slider, move.position, &control_);
  } catch (const cv::Exception& e) {
    failure = std::string(slider.label) + " failed: " + e.msg;
  } catch (const std::bad_alloc&) {
    failure = std::string(slider.label) + " needs more memory than is available.";
  } catch (const std::exception& e) {
    failure = std::string(slider.label) + " failed: " + e.what();
  }
  RunReport report{&slider, move.position, milliseconds(Clock::now() - started_), failure,
                   rngState};
  if (completed && !move.replay && options_.completed) {
    options_.completed(report, exact_.chain().size() - 1);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (completed) {
      exactResult_ = exact_.dstImage;
      exactResultMove_ = move.number;
      exactResultNew_ = true;
      // The previews of later moves build on the restored edit, as after a new window size.
      if (move.replay && move.replay == &replaying_.back()) viewSizeNew_ = true;
    }
    if (completed)
      exactMsPerWork_[slider.id] = report.milliseconds / exactWork(slider, move.position);
    if (completed || !failure.empty()) reports_.push_back(std::move(report));
    running_ = RunProgress{};
    runningMove_ = 0;
    next_.release();
  }
  changed_.notify_all();
}

void StageRunner::bandDone(int rowsDone, int rows) {
  int before;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    before = running_.rowsDone;
    running_.rowsDone = rowsDone;
    running_.rows = rows;
    next_ = exact_.running();
  }
  changed_.notify_all();  // the previewer scales the finished rows
  if (options_.slowStageMs <= 0 || rows <= 0) return;
  // The slowdown follows the rows, so that progress moves as in a slow stage, and it ends as soon
  // as the run is abandoned.
  const auto until = Clock::now() + std::chrono::microseconds(1000LL * options_.slowStageMs *
                                                              (rowsDone - before) / rows);
  while (!control_.cancel.load(std::memory_order_acquire) && Clock::now() < until) {
    std::this_thread::sleep_for(
        std::min<Clock::duration>(until - Clock::now(), std::chrono::milliseconds(5)));
  }
}

void StageRunner::writeTiming(const Move& move, double waitMs) const {
  std::ofstream(options_.timingFile, std::ios::app)
      << "start " << move.slider->label << ' ' << move.position << ' ' << waitMs << '\n';
}

void StageRunner::offer(Picture picture) {
  if (picture.move < bestMove_ || (picture.move == bestMove_ && picture.kind < bestKind_)) return;
  if (!options_.timingFile.empty()) {
    std::ofstream(options_.timingFile, std::ios::app)
        << "picture " << picture.move << ' ' << static_cast<int>(picture.kind) << '\n';
  }
  bestMove_ = picture.move;
  bestKind_ = picture.kind;
  picture_ = std::move(picture);
  pictureNew_ = true;
  if (options_.wake) options_.wake();
}

StageRunner::Clock::time_point StageRunner::previewClock() const {
  return options_.clock ? options_.clock() : Clock::now();
}

void StageRunner::preview() {
  const DenormalsFlushed flushed;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    const auto betterBase = [this] {
      return previewed_.number > exactResultMove_ && !previewedOnExactBase_ &&
             exactBaseMove_ == previewed_.base;
    };
    // Finished rows of the newest move's exact run that are not scaled yet.
    const auto rowsToScale = [this] {
      return running_.slider && runningMove_ == moves_ && !next_.empty() &&
             (scaled_.move != runningMove_ || scaled_.buffer != next_.data ||
              scaled_.sourceRows < running_.rowsDone);
    };
    changed_.wait_for(lock, std::chrono::milliseconds(100), [&] {
      return stopping_ ||
             (viewSize_.area() > 0 && (viewSizeNew_ || exactResultNew_ || !previewQueue_.empty() ||
                                       betterBase() || rowsToScale()));
    });
    if (stopping_) return;
    if (viewSize_.area() <= 0) continue;
    if (viewSizeNew_) {
      newViewSize(lock);
    } else if (!previewQueue_.empty()) {
      previewMoves(lock);
    } else if (exactResultNew_) {
      showExact(lock);
    } else if (betterBase()) {
      // The exact pipeline has made the base of the move last previewed: preview it again
      // from there.
      previewQueue_.push_back(previewed_);
    } else {
      previewRows(lock);
    }
  }
}

void StageRunner::newViewSize(std::unique_lock<std::mutex>& lock) {
  // A new window size: the preview starts again from the newest exact result, and what the
  // window showed last is made again at the new size, as is the photo as opened.
  viewSizeNew_ = false;
  bestMove_ = 0;
  bestKind_ = PictureKind::kCoarse;
  const cv::Size size = viewSize_;
  const cv::Mat base = exactResult_;
  lock.unlock();
  PreviewPipeline fresh(base, size);
  Picture original{cv::Mat(size, CV_8UC3), original_, 0, PictureKind::kExact,
                   cv::Mat(size, CV_8U),   {}};
  AreaScaling(original_.size(), size)
      .scale(original_, original.fit, cv::Range(0, size.height), nullptr, &original.marks);
  original.histogram = histogramOf(original_);
  lock.lock();
  previewPipeline_ = std::move(fresh);
  costs_.setSizes(size, original_.size());
  originalPicture_ = original;
  originalNew_ = true;
  if (exactResult_.data == original_.data) {
    original.move = exactResultMove_;
    offer(std::move(original));
  } else {
    exactResultNew_ = true;
  }
  if (previewed_.number > exactResultMove_ && previewQueue_.empty()) {
    previewQueue_.push_back(previewed_);
  }
  previewed_ = Move{nullptr, 0, {}, 0, 0};
  previewPicture_.release();
  scaled_ = ExactScaling{};
}

void StageRunner::previewMoves(std::unique_lock<std::mutex>& lock) {
  std::deque<Move> moves;
  moves.swap(previewQueue_);
  for (std::size_t i = 0; i < moves.size(); ++i) {
    // Of the moves of one slider in a row only the last matters: the next slider's move freezes
    // its result, and the very last one is what the window shows.
    if (i + 1 < moves.size() && moves[i + 1].slider->id == moves[i].slider->id) continue;
    const Move move = moves[i];
    const bool last = i + 1 == moves.size();
    const StageSlider& slider = *move.slider;
    const cv::Mat base = exactBaseMove_ == move.base ? exactBase_ : cv::Mat();
    previewing_ = slider.id;
    previewControl_.cancel = false;
    // The first picture of the newest move comes within a frame, coarser if need be; the
    // moves before it only make the base it builds on.
    const int level = last ? costs_.firstLevel(slider, move.position, kFrameBudgetMs) : 0;
    const double fineMs = costs_.predictMs(slider, move.position, 0);
    lock.unlock();

    bool done = false;
    try {
      previewPipeline_.beginMove(slider, base);
      bool newer = false;
      if (level > 0) {
        const auto began = previewClock();
        Picture picture{previewPipeline_.coarse(slider, move.position, level),
                        {},
                        move.number,
                        PictureKind::kCoarse,
                        {},
                        {}};
        costs_.measured(slider, move.position, level, milliseconds(previewClock() - began));
        picture.histogram = histogramOf(picture.fit);
        // The finest picture follows, unless the slider has moved on already; a newer move of
        // the slider stops it (a move's first picture always comes).
        lock.lock();
        offer(std::move(picture));
        newer = std::any_of(previewQueue_.begin(), previewQueue_.end(),
                            [&](const Move& queued) { return queued.slider->id == slider.id; });
        refining_ = true;
        lock.unlock();
      }
      if (!newer) {
        // Bands of about 10 ms, so that a newer move of the slider stops a slow preview soon.
        const int rows = previewPipeline_.size().height;
        previewControl_.bandRows =
            std::clamp(static_cast<int>(rows * 10 / std::max(fineMs, 1.0)), 1, rows);
        const auto began = previewClock();
        done = previewPipeline_.move(slider, move.position, base, &previewControl_);
        if (done) costs_.measured(slider, move.position, 0, milliseconds(previewClock() - began));
      }
    } catch (const std::exception&) {
      // The exact run reports the failure; the window keeps its picture, and the move counts as
      // previewed, so that it is not tried again and again.
      done = true;
    }

    Picture picture;
    if (done && last) {
      // A map of the window's own samples is a first impression; on the photo-sized base it
      // is faithful.
      const bool onExactBase = previewPipeline_.onExactBase();
      PictureKind kind = onExactBase ? PictureKind::kPreviewOnExactBase : PictureKind::kPreview;
      if (slider.preview == PreviewRule::kMapped && !onExactBase) kind = PictureKind::kCoarse;
      picture = Picture{previewPipeline_.picture(), {}, move.number, kind, {}, {}};
      picture.histogram = histogramOf(picture.fit);
    }
    lock.lock();
    previewing_ = kNoStage;
    refining_ = false;
    if (!done) continue;  // a newer move of the slider is queued
    previewed_ = move;
    previewedOnExactBase_ = previewPipeline_.onExactBase();
    if (!last) continue;
    previewPicture_ = picture.fit;
    rowsShown_ = false;
    offer(std::move(picture));
  }
  changed_.notify_all();  // the worker may be waiting for the previews
}

void StageRunner::scaleRows(const cv::Mat& result, int sourceRows) {
  const cv::Size size = viewSize_;
  if (scaled_.buffer != result.data || scaled_.fit.size() != size) {
    scaled_.buffer = result.data;
    scaled_.scaling = AreaScaling(result.size(), size);
    scaled_.fit.create(size, CV_8UC3);
    scaled_.marks.create(size, CV_8U);
    scaled_.rows = scaled_.sourceRows = 0;
    scaled_.histogram = Histogram{};
  }
  const int from = scaled_.sourceRows;
  const Histogram counted = histogramOf(result.rowRange(from, sourceRows));
  for (int c = 0; c < 3; ++c)
    for (int v = 0; v < 256; ++v) scaled_.histogram.counts[c][v] += counted.counts[c][v];
  const int rows = scaled_.scaling.rowsComplete(sourceRows);
  scaled_.scaling.scale(result, scaled_.fit, cv::Range(scaled_.rows, rows), nullptr,
                        &scaled_.marks);
  scaled_.rows = rows;
  scaled_.sourceRows = sourceRows;
}

void StageRunner::showExact(std::unique_lock<std::mutex>& lock) {
  exactResultNew_ = false;
  // A newer move's picture is shown already, or soon.
  if (exactResultMove_ < newestPreview_) return;
  const cv::Mat result = exactResult_;
  const uint64_t move = exactResultMove_;
  if (scaled_.move != move) {
    scaled_ = ExactScaling{};
    scaled_.move = move;
  }
  lock.unlock();
  scaleRows(result, result.rows);
  Picture picture{scaled_.fit, result, move, PictureKind::kExact, scaled_.marks, scaled_.histogram};
  lock.lock();
  scaled_ = ExactScaling{};
  offer(std::move(picture));
}

void StageRunner::previewRows(std::unique_lock<std::mutex>& lock) {
  // The finished rows of the newest move's exact run are scaled as they come, so that its exact
  // picture follows its last band within moments. Once the run is long, they are shown over the
  // preview of the same move: low resolution at the back, the exact result forming at the front.
  if (!running_.slider || runningMove_ != moves_ || next_.empty()) return;
  const cv::Mat full = next_;  // rows [0, rowsDone) are final: the worker writes only later ones
  const uint64_t move = runningMove_;
  if (scaled_.move != move) {
    scaled_ = ExactScaling{};
    scaled_.move = move;
  }
  const int step = std::max(1, static_cast<int>(kScaleStepPixels / std::max(full.cols, 1)));
  const int rows =
      std::min(running_.rowsDone, scaled_.buffer == full.data ? scaled_.sourceRows + step : step);
  const Clock::time_point now = Clock::now();
  const bool show = previewed_.number == move && !previewPicture_.empty() &&
                    now - started_ >= kRowsAfter &&
                    (!rowsShown_ || now - rowsShownAt_ >= kRowsEvery);
  const cv::Mat preview = previewPicture_;
  lock.unlock();
  scaleRows(full, rows);
  Picture shown;
  if (show && scaled_.rows > 0 && preview.size() == scaled_.fit.size()) {
    shown = Picture{preview.clone(), {}, move, PictureKind::kRows, {}, {}};
    scaled_.fit.rowRange(0, scaled_.rows).copyTo(shown.fit.rowRange(0, scaled_.rows));
    shown.histogram = histogramOf(shown.fit);
  }
  lock.lock();
  if (shown.fit.empty()) return;
  rowsShown_ = true;
  rowsShownAt_ = Clock::now();
  offer(std::move(shown));
}
