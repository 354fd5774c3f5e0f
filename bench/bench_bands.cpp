// Band overhead: one slider event of a stage at its slowest position, whole image against bands
// the protocol sizes itself. Compare the pair's times within one interleaved run.
#include <string>

#include "bench/bench_common.hpp"

namespace {

void sliderEvent(benchmark::State& state, const StageSlider& slider, bool banded) {
  const cv::Mat& photo = benchPhoto(static_cast<int>(state.range(0)));
  RunControl control;
  Pipeline pipeline = warmPipeline(photo, slider, slider.maximum);
  for (auto _ : state) pipeline.move(slider, slider.maximum, banded ? &control : nullptr);
  countImageBytes(state, photo);
}

const bool registered = [] {
  for (const StageSlider& slider : kStageTable) {
    for (bool banded : {false, true}) {
      const std::string name =
          std::string("Bands/") + slider.label + (banded ? "/banded" : "/whole");
      benchmark::RegisterBenchmark(
          name.c_str(),
          [&slider, banded](benchmark::State& state) { sliderEvent(state, slider, banded); })
          ->Args({12})
          ->Args({48})
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime();
    }
  }
  return true;
}();

}  // namespace
