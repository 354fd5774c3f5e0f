// The edit journal's cost per slider move, one record written and flushed to disk as the worker
// does after each completed run, and the time a restore takes to run a 12 MP chain again.
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "bench/bench_common.hpp"
#include "session/journal.hpp"
#include "session/runner.hpp"

namespace {

void journalAppend(benchmark::State& state) {
  // In the working folder: /tmp may be a memory file system, where a flush costs nothing.
  char pattern[] = "lumivet-bench-XXXXXX";
  const std::string folder = ::mkdtemp(pattern);
  std::ofstream(folder + "/photo.png") << "photo";
  {
    EditJournal journal(folder + "/journal", folder + "/photo.png");
    JournalRecord record{kBlurStage, 0, 0, 0, 0};
    for (auto _ : state) {
      record.position = (record.position + 1) % 30;
      if (!journal.append(record)) {
        state.SkipWithError(journal.error().c_str());
        break;
      }
    }
  }
  std::filesystem::remove_all(folder);
}

// From the restore's answer to its last result, the photo already open.
void restore(benchmark::State& state) {
  const cv::Mat& photo = benchPhoto(static_cast<int>(state.range(0)));
  const std::vector<ReplayStep> chain = {{sliderById(kBilateralStage), 3, 1},
                                         {sliderById(kStretchCStage), 80, 2},
                                         {sliderById(kBlurStage), 4, 3},
                                         {sliderById(kNoiseStage), 20, 4}};
  for (auto _ : state) {
    state.PauseTiming();
    cv::Mat copy = photo.clone();
    state.ResumeTiming();
    StageRunner runner(std::move(copy));
    runner.replay(chain);
    runner.stop();  // after what is queued
  }
}

const int registered = [] {
  benchmark::RegisterBenchmark("JournalAppend", journalAppend)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark("Restore", restore)
      ->Arg(12)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  return 0;
}();

}  // namespace
