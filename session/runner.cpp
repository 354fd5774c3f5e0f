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

// A preview that took longer than this is shown at a coarser size first, next time.
constexpr double kCoarseAfterMs = 40;
// Until it has been measured, the bilateral filter is taken to be slow even at the window's size.
constexpr double kBilateralGuessMs = 1000;
// A long exact run shows its finished rows once it has run this long, and then at most this often.
constexpr auto kRowsAfter = std::chrono::milliseconds(500);
constexpr auto kRowsEvery = std::chrono::milliseconds(250);

}  // namespace

StageRunner::StageRunner(cv::Mat photo, RunnerOptions options)
    : options_(std::move(options)), exact_(std::move(photo)), previewMs_(kNoiseStage + 3, 0.0) {
  previewMs_[kBilateralStage] = kBilateralGuessMs;
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
    if (previewingLast_ && previewing_ == slider.id) previewControl_.cancel = true;
    previewQueue_.push_back(made);
  }
  changed_.notify_all();
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
    if (queue_.empty()) return;
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
  bestMove_ = picture.move;
  bestKind_ = picture.kind;
  picture_ = std::move(picture);
  pictureNew_ = true;
  if (options_.wake) options_.wake();
}

void StageRunner::preview() {
  const DenormalsFlushed flushed;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    const auto betterBase = [this] {
      return previewed_.number > exactResultMove_ && !previewedOnExactBase_ &&
             exactBaseMove_ == previewed_.base &&
             previewed_.slider->preview == PreviewRule::kScaled;
    };
    changed_.wait_for(lock, std::chrono::milliseconds(100), [&] {
      return stopping_ || (viewSize_.area() > 0 && (viewSizeNew_ || exactResultNew_ ||
                                                    !previewQueue_.empty() || betterBase()));
    });
    if (stopping_) return;
    if (viewSize_.area() <= 0) continue;
    const cv::Size size = viewSize_;

    if (viewSizeNew_) {
      // A new window size: the preview starts again from the newest exact result, and what the
      // window showed last is made again at the new size.
      viewSizeNew_ = false;
      bestMove_ = 0;
      bestKind_ = PictureKind::kCoarse;
      const cv::Mat base = exactResult_;
      lock.unlock();
      PreviewPipeline fresh(base, size);
      lock.lock();
      previewPipeline_ = std::move(fresh);
      exactResultNew_ = true;
      if (previewed_.number > exactResultMove_ && previewQueue_.empty()) {
        previewQueue_.push_back(previewed_);
      }
      previewed_ = Move{nullptr, 0, {}, 0, 0};
      previewPicture_.release();
      continue;
    }
    if (exactResultNew_) {
      exactResultNew_ = false;
      const cv::Mat result = exactResult_;
      const uint64_t move = exactResultMove_;
      lock.unlock();
      Picture picture{areaScaled(result, size), result, move, PictureKind::kExact};
      lock.lock();
      offer(std::move(picture));
      continue;
    }
    if (!previewQueue_.empty()) {
      previewMoves(lock);
      continue;
    }
    if (betterBase()) {
      // The exact pipeline has made the base of the move last previewed: preview it again
      // from there.
      previewQueue_.push_back(previewed_);
      continue;
    }
    previewRows(lock);
  }
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
    const double lastMs = previewMs_[slider.id];
    previewing_ = slider.id;
    previewingLast_ = last;
    previewControl_.cancel = false;
    lock.unlock();

    const auto began = Clock::now();
    bool done = false;
    try {
      if (last && lastMs > kCoarseAfterMs && slider.preview == PreviewRule::kScaled) {
        // A picture at a coarser size comes first: the bilateral filter is slow even at the
        // window's size. Its cost falls with the cube of the factor or faster.
        int factor = 2;
        while (factor < 8 && lastMs / (factor * factor * factor) > kCoarseAfterMs) ++factor;
        previewPipeline_.beginMove(slider, base);
        Picture picture{previewPipeline_.coarse(slider, move.position, factor),
                        {},
                        move.number,
                        PictureKind::kCoarse};
        lock.lock();
        offer(std::move(picture));
        lock.unlock();
      }
      done = previewPipeline_.move(slider, move.position, base, &previewControl_);
    } catch (const std::exception&) {
      // The exact run reports the failure; the window keeps its picture, and the move counts as
      // previewed, so that it is not tried again and again.
      done = true;
    }
    const double ms = milliseconds(Clock::now() - began);

    lock.lock();
    previewing_ = kNoStage;
    previewingLast_ = false;
    if (!done) continue;  // a newer move of the slider is queued
    previewMs_[slider.id] = ms;
    previewed_ = move;
    previewedOnExactBase_ = !base.empty();
    if (!last) continue;
    previewPicture_ = previewPipeline_.picture();
    rowsShown_ = 0;
    rowsPicture_.release();
    // A stage that is only faithful on the photo gives a first impression here; its exact
    // result follows within moments.
    PictureKind kind = base.empty() ? PictureKind::kPreview : PictureKind::kPreviewOnExactBase;
    if (slider.preview == PreviewRule::kExactScaled) kind = PictureKind::kCoarse;
    offer({previewPicture_, {}, move.number, kind});
  }
}

void StageRunner::previewRows(std::unique_lock<std::mutex>& lock) {
  // The finished rows of a long exact run, scaled, over the preview of the same move: low
  // resolution at the back, the exact result forming at the front.
  const Clock::time_point now = Clock::now();
  if (!running_.slider || runningMove_ != previewed_.number || previewPicture_.empty() ||
      next_.empty() || now - started_ < kRowsAfter ||
      (rowsShown_ > 0 && now - rowsShownAt_ < kRowsEvery)) {
    return;
  }
  const cv::Size size = previewPicture_.size();
  const int rows = next_.rows;
  const int done = static_cast<int>(int64_t(running_.rowsDone) * size.height / rows);
  if (done <= rowsShown_) return;
  const cv::Mat full = next_;  // rows [0, rowsDone) are final: the worker writes only later ones
  const int from = rowsShown_;
  if (rowsPicture_.empty()) rowsPicture_ = previewPicture_.clone();
  cv::Mat picture = rowsPicture_;
  const uint64_t move = previewed_.number;
  lock.unlock();
  const cv::Range source(static_cast<int>(int64_t(from) * rows / size.height),
                         static_cast<int>(int64_t(done) * rows / size.height));
  cv::Mat part = picture.rowRange(from, done);
  cv::resize(full.rowRange(source), part, part.size(), 0, 0, cv::INTER_AREA);
  Picture shown{picture.clone(), {}, move, PictureKind::kRows};
  lock.lock();
  rowsShown_ = done;
  rowsShownAt_ = Clock::now();
  offer(std::move(shown));
}
