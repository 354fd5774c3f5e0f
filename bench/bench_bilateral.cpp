// The bilateral stage with denormals flushed, as the tool runs it, and with the processor's plain
// modes ("...Plain"), on the synthetic photo and on the same photo with strong Gaussian noise.
// Arguments are megapixels, then slider position. "BilateralLibrary" is the bare library call with
// denormals flushed, beside which the stage's own benchmark shows the protocol's share.
#include <map>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <utility>

#include "bench/bench_common.hpp"
#include "filters/fpmode.hpp"

namespace {

// The synthetic photo with Gaussian noise of sigma 25 added, as a high-ISO shot would carry.
const cv::Mat& noisyPhoto(int megapixels) {
  static std::map<int, cv::Mat> photos;
  cv::Mat& noisy = photos[megapixels];
  if (noisy.empty()) {
    const cv::Mat& photo = benchPhoto(megapixels);
    cv::Mat noise(photo.size(), CV_16SC3);
    cv::RNG rng(2024);
    rng.fill(noise, cv::RNG::NORMAL, 0, 25);
    cv::add(photo, noise, noisy, cv::noArray(), CV_8U);
  }
  return noisy;
}

// One iteration is one slider event of "Bilateral", the protocol included and the display left out.
void runBilateral(benchmark::State& state, const cv::Mat& photo, bool flushed) {
  const StageSlider& slider = *sliderById(kBilateralStage);
  const int position = static_cast<int>(state.range(1));
  Pipeline pipeline = warmPipeline(photo, slider, position);
  for (auto _ : state) {
    if (flushed) {
      const DenormalsFlushed mode;
      pipeline.move(slider, position);
    } else {
      pipeline.move(slider, position);
    }
    benchmark::DoNotOptimize(pipeline.dstImage.data);
  }
  countImageBytes(state, photo);
}

void bilateral(benchmark::State& state) {
  runBilateral(state, benchPhoto(static_cast<int>(state.range(0))), true);
}
void bilateralPlain(benchmark::State& state) {
  runBilateral(state, benchPhoto(static_cast<int>(state.range(0))), false);
}
void bilateralNoisy(benchmark::State& state) {
  runBilateral(state, noisyPhoto(static_cast<int>(state.range(0))), true);
}
void bilateralNoisyPlain(benchmark::State& state) {
  runBilateral(state, noisyPhoto(static_cast<int>(state.range(0))), false);
}

void bilateralLibrary(benchmark::State& state) {
  const cv::Mat& photo = benchPhoto(static_cast<int>(state.range(0)));
  const int position = static_cast<int>(state.range(1));
  cv::Mat out = photo.clone();
  for (auto _ : state) {
    const DenormalsFlushed mode;
    filterBilateral(photo, position, out);
    benchmark::DoNotOptimize(out.data);
  }
  countImageBytes(state, photo);
}

const int registered = [] {
  // Each position runs its four variants back to back, so that a change in the machine's load
  // falls on the pairs alike.
  for (int position : {1, 2, 5, 10}) {
    for (auto [name, fn] :
         {std::pair{"Bilateral", bilateral}, std::pair{"BilateralPlain", bilateralPlain},
          std::pair{"BilateralNoisy", bilateralNoisy},
          std::pair{"BilateralNoisyPlain", bilateralNoisyPlain}}) {
      // Wider windows take seconds per event; the default minimum time then runs one event.
      benchmark::RegisterBenchmark(name, fn)->Args({12, position})->Unit(benchmark::kMillisecond);
    }
  }
  // The same position at the other photo sizes, and the bare library call beside the stage.
  benchmark::RegisterBenchmark("Bilateral", bilateral)
      ->ArgsProduct({{2, 48}, {2}})
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BilateralLibrary", bilateralLibrary)
      ->ArgsProduct({kPhotoSizes, {2}})
      ->Unit(benchmark::kMillisecond);
  return 0;
}();

}  // namespace
