// Neighbourhood smoothing: the stage as a slider event, and the literal per-sample blend it
// replaces, for scale.
#include "bench/bench_common.hpp"
#include "tests/smooth_reference.hpp"

namespace {

void smoothLiteralEvent(benchmark::State& state) {
  const cv::Mat& photo = benchPhoto(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    cv::Mat result = smoothLiteral(photo, 50);
    benchmark::DoNotOptimize(result.data);
  }
  countImageBytes(state, photo);
}

const int registered = [] {
  registerStageBenchmark("Smooth", kSmoothStage, 50);
  registerPhotoBenchmark("SmoothLiteral", smoothLiteralEvent, {2, 12});
  return 0;
}();

}  // namespace
