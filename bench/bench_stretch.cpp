// Contrast stretch stages, and the literal per-sample version of their mapping for comparison.
#include "bench/bench_common.hpp"
#include "tests/stretch_reference.hpp"

namespace {

void stretchCLiteral(benchmark::State& state) {
  const cv::Mat& photo = benchPhoto(static_cast<int>(state.range(0)));
  cv::Mat out;
  for (auto _ : state) {
    literalStretchC(photo, 50, out);
    benchmark::DoNotOptimize(out.data);
  }
  countImageBytes(state, photo);
}

void stretchPLiteral(benchmark::State& state) {
  const cv::Mat& photo = benchPhoto(static_cast<int>(state.range(0)));
  cv::Mat out, gray;
  for (auto _ : state) {
    literalStretchP(photo, 50, out, gray);
    benchmark::DoNotOptimize(out.data);
  }
  countImageBytes(state, photo);
}

const int registered = [] {
  registerStageBenchmark("StretchC", kStretchCStage, 50);
  registerStageBenchmark("StretchP", kStretchPStage, 50);
  for (auto [name, fn] : {std::pair{"StretchCLiteral", stretchCLiteral},
                          std::pair{"StretchPLiteral", stretchPLiteral}}) {
    registerPhotoBenchmark(name, fn);
  }
  return 0;
}();

}  // namespace
