// The stage runner's worker thread and the hand-over of its results to the event loop.
#include "session/runner.hpp"

#include <algorithm>
#include <fstream>
#include <new>
#include <opencv2/imgproc.hpp>

#include "filters/fpmode.hpp"

namespace {

template <typename Duration>
double milliseconds(Duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

}  // namespace

StageRunner::StageRunner(cv::Mat photo, RunnerOptions options)
    : options_(std::move(options)), exact_(std::move(photo)) {
  control_.bandDone = [this](int rowsDone, int rows) { bandDone(rowsDone, rows); };
  worker_ = std::thread([this] { work(); });
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
    if (!queue_.empty() && queue_.back().slider == &slider && !queue_.back().replay) {
      queue_.back().position = position;
      queue_.back().asked = now;
    } else {
      queue_.push_back({&slider, position, now});
    }
    // The running result would only be replaced by this move: nothing queued builds on it.
    if (running_.slider == &slider && queue_.front().slider == &slider) control_.cancel = true;
  }
  changed_.notify_all();
}

void StageRunner::replay(const std::vector<ReplayStep>& chain) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!accepting_ || !replaying_.empty()) return;
    replaying_ = chain;
    for (const ReplayStep& step : replaying_) {
      queue_.push_back({step.slider, step.position, Clock::now(), &step});
    }
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

bool StageRunner::showNewResult(const std::function<void(const cv::Mat&)>& show) {
  cv::Mat result;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (result_.empty()) return false;
    result = result_;
    result_.release();
    showing_ = true;
  }
  // The result is dstImage, which no run writes; only the one after next reuses its buffer, and
  // the worker starts no run while `showing_` is set.
  const auto done = [&] {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      result.release();
      showing_ = false;
    }
    changed_.notify_all();
  };
  try {
    show(result);
  } catch (...) {
    done();
    throw;
  }
  done();
  return true;
}

bool StageRunner::updatePreview(cv::Mat& preview, cv::Size size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!running_.slider || next_.empty() || size.area() <= 0) return false;
  // Picture rows [0, done) come from rows [0, finished) of the run, which are final: the worker
  // only writes the rows after them.
  const int rows = next_.rows;
  const int done = static_cast<int>(static_cast<int64_t>(running_.rowsDone) * size.height / rows);
  const int finished = static_cast<int>(static_cast<int64_t>(done) * rows / size.height);
  if (previewRun_ == runs_ && previewRows_ == done && preview.size() == size) return false;
  preview.create(size, next_.type());
  if (done > 0) {
    cv::Mat top = preview.rowRange(0, done);
    cv::resize(next_.rowRange(0, finished), top, top.size(), 0, 0, cv::INTER_NEAREST);
  }
  if (done < size.height) {
    cv::Mat rest = preview.rowRange(done, size.height);
    cv::resize(last_.rowRange(finished, rows), rest, rest.size(), 0, 0, cv::INTER_NEAREST);
  }
  previewRun_ = runs_;
  previewRows_ = done;
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
  }
  changed_.notify_all();
  if (!worker_.joinable()) return;
  worker_.join();
  result_.release();
}

void StageRunner::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(
        lock, [this] { return (stopping_ && queue_.empty()) || (!queue_.empty() && !showing_); });
    if (queue_.empty()) return;
    const Move move = queue_.front();
    queue_.pop_front();
    running_ = RunProgress{move.slider, move.position, 0, 0, 0, move.replay != nullptr};
    started_ = Clock::now();
    ++runs_;
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
    completed = exact_.move(slider, move.position, &control_);
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
  std::lock_guard<std::mutex> lock(mutex_);
  if (completed) result_ = exact_.dstImage;
  if (completed || !failure.empty()) reports_.push_back(std::move(report));
  running_ = RunProgress{};
  next_.release();
  last_.release();
}

void StageRunner::bandDone(int rowsDone, int rows) {
  int before;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    before = running_.rowsDone;
    running_.rowsDone = rowsDone;
    running_.rows = rows;
    next_ = exact_.running();
    last_ = exact_.result();
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
