// The preview pipeline: one move of each slider at its maximum on a picture the size of a photo
// window on a 1920x1200 screen, and the area-averaged scaling every picture goes through.
#include <string>

#include "bench/bench_common.hpp"
#include "pipeline/preview.hpp"

namespace {

// The photo window's view on a 1920x1200 screen, for a 4:3 photo.
const cv::Size kView(1440, 1080);

void previewMove(benchmark::State& state, const StageSlider& slider) {
  const cv::Mat& photo = benchPhoto(static_cast<int>(state.range(0)));
  PreviewPipeline preview(photo, kView);
  preview.move(slider, slider.maximum, photo);
  for (auto _ : state) {
    preview.move(slider, slider.maximum, photo);
    uchar* samples = preview.picture().data;
    benchmark::DoNotOptimize(samples);
  }
}

void coarseMove(benchmark::State& state) {
  const cv::Mat& photo = benchPhoto(static_cast<int>(state.range(0)));
  const StageSlider& slider = *sliderById(kBilateralStage);
  PreviewPipeline preview(photo, kView);
  preview.beginMove(slider, photo);
  for (auto _ : state) {
    cv::Mat picture = preview.coarse(slider, slider.maximum, 2);
    benchmark::DoNotOptimize(picture.data);
  }
}

void areaScaling(benchmark::State& state) {
  const cv::Mat& photo = benchPhoto(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    cv::Mat picture = areaScaled(photo, kView);
    benchmark::DoNotOptimize(picture.data);
  }
}

const bool registered = [] {
  for (const StageSlider& slider : kStageTable) {
    const std::string name = std::string("Preview/") + slider.label;
    benchmark::RegisterBenchmark(name.c_str(),
                                 [&slider](benchmark::State& state) { previewMove(state, slider); })
        ->Args({12})
        ->Args({48})
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  }
  benchmark::RegisterBenchmark("Preview/Bilateral/coarse", coarseMove)
      ->Args({12})
      ->Args({48})
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  registerPhotoBenchmark("AreaScaled", areaScaling, {12, 48});
  return true;
}();

}  // namespace
