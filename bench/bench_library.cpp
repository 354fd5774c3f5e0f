// Library floors (what touching a photo's memory costs) and the library-backed stages.
#include <opencv2/imgproc.hpp>

#include "bench/bench_common.hpp"

namespace {

void cloneFloor(benchmark::State& state) {
  const cv::Mat& photo = benchPhoto(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    cv::Mat copy = photo.clone();
    benchmark::DoNotOptimize(copy.data);
  }
  countImageBytes(state, photo);
}

void copyToFloor(benchmark::State& state) {
  const cv::Mat& photo = benchPhoto(static_cast<int>(state.range(0)));
  cv::Mat copy = photo.clone();
  for (auto _ : state) {
    photo.copyTo(copy);
    benchmark::DoNotOptimize(copy.data);
  }
  countImageBytes(state, photo);
}

void boxFilterFloor(benchmark::State& state) {
  const cv::Mat& photo = benchPhoto(static_cast<int>(state.range(0)));
  cv::Mat sums;
  for (auto _ : state) {
    cv::boxFilter(photo, sums, CV_16U, cv::Size(5, 5), cv::Point(-1, -1), false);
    benchmark::DoNotOptimize(sums.data);
  }
  countImageBytes(state, photo);
}

void randnFloor(benchmark::State& state) {
  const cv::Mat& photo = benchPhoto(static_cast<int>(state.range(0)));
  cv::Mat noise(photo.size(), CV_32FC3, cv::Scalar::all(0.0));  // touched before timing
  for (auto _ : state) {
    cv::randn(noise, cv::Scalar::all(0.0), cv::Scalar::all(20.0));
    benchmark::DoNotOptimize(noise.data);
  }
  countImageBytes(state, photo);
}

constexpr int kBlurPosition = 5;

// The bare library call of the "Blur" stage into a result buffer that exists already: what the
// stage's own benchmark costs beyond it is the protocol's share of a slider event.
void blurLibrary(benchmark::State& state) {
  const cv::Mat& photo = benchPhoto(static_cast<int>(state.range(0)));
  cv::Mat out = photo.clone();
  for (auto _ : state) {
    filterBlur(photo, kBlurPosition, out);
    benchmark::DoNotOptimize(out.data);
  }
  countImageBytes(state, photo);
}

const int registered = [] {
  for (auto [name, fn] :
       {std::pair{"Clone", cloneFloor}, std::pair{"CopyTo", copyToFloor},
        std::pair{"BoxFilter5x5", boxFilterFloor}, std::pair{"Randn", randnFloor}}) {
    registerPhotoBenchmark(name, fn);
  }
  registerStageBenchmark("Blur", kBlurStage, kBlurPosition);
  registerPhotoBenchmark("BlurLibrary", blurLibrary);
  registerStageBenchmark("WhiteToZero", kWhiteToZeroStage, 200);
  registerStageBenchmark("BlackToZero", kBlackToZeroStage, 50);
  return 0;
}();

}  // namespace
