// What the previews cost the exact run: one move of each slider at its maximum through the runner,
// with the previewer working at a 1920x1200 screen's window size and with it idle (no window size
// known). The exact run's own time, from the runner's report, is the counter `exact_ms`.
#include <string>
#include <thread>

#include "bench/bench_common.hpp"
#include "session/runner.hpp"

namespace {

void exactRun(benchmark::State& state, const StageSlider& slider, bool previews) {
  const cv::Mat& photo = benchPhoto(static_cast<int>(state.range(0)));
  double total = 0;
  for (auto _ : state) {
    StageRunner runner(photo.clone());
    if (previews) {
      // The window's first picture, the photo scaled, is made before any move.
      runner.setViewSize(cv::Size(1440, 1080));
      Picture picture;
      while (!runner.takePicture(picture))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    runner.move(slider, slider.maximum);
    while (runner.busy()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    runner.stop();
    for (const RunReport& report : runner.takeReports()) total += report.milliseconds;
  }
  state.counters["exact_ms"] = benchmark::Counter(total / state.iterations());
}

const bool registered = [] {
  for (const StageSlider& slider : kStageTable) {
    for (bool previews : {false, true}) {
      const std::string name =
          std::string("ExactRun/") + slider.label + (previews ? "/previewed" : "/alone");
      benchmark::RegisterBenchmark(
          name.c_str(),
          [&slider, previews](benchmark::State& state) { exactRun(state, slider, previews); })
          ->Args({12})
          ->Args({48})
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime();
    }
  }
  return true;
}();

}  // namespace
