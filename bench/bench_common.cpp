// Synthetic photos and the slider-event benchmark harness.
#include "bench/bench_common.hpp"

#include <cmath>
#include <map>
#include <opencv2/imgproc.hpp>

#include "pipeline/image_memory.hpp"

// The stages run on images on the memory the windowed tool gives them.
[[maybe_unused]] static const bool kHugePages = [] {
  useHugePagesForLargeImages();
  return true;
}();

const cv::Mat& benchPhoto(int megapixels) {
  static std::map<int, cv::Mat> photos;
  cv::Mat& photo = photos[megapixels];
  if (photo.empty()) {
    const int cols = static_cast<int>(std::lround(std::sqrt(megapixels * 1e6 * 4 / 3)));
    const int rows = cols * 3 / 4;
    cv::Mat ramps(rows, cols, CV_32FC3);
    for (int i = 0; i < rows; ++i) {
      auto* row = ramps.ptr<cv::Vec3f>(i);
      const float y = float(i) / rows;
      for (int j = 0; j < cols; ++j) {
        const float x = float(j) / cols;
        row[j] = cv::Vec3f(40 + 150 * x, 50 + 140 * y + 30 * std::sin(12 * x), 30 + 180 * x * y);
      }
    }
    cv::Mat texture(rows, cols, CV_32FC3);
    cv::RNG rng(12345);
    rng.fill(texture, cv::RNG::NORMAL, 0, 12);
    cv::GaussianBlur(texture, texture, cv::Size(3, 3), 0);
    ramps += texture;
    ramps.convertTo(photo, CV_8UC3);
  }
  return photo;
}

void countImageBytes(benchmark::State& state, const cv::Mat& image) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(image.total() * image.elemSize()));
}

void registerPhotoBenchmark(const char* name, void (*run)(benchmark::State&),
                            const std::vector<int64_t>& sizes) {
  benchmark::RegisterBenchmark(name, run)->ArgsProduct({sizes})->Unit(benchmark::kMillisecond);
}

Pipeline warmPipeline(const cv::Mat& photo, const StageSlider& slider, int position) {
  Pipeline pipeline(photo.clone());
  pipeline.move(slider, position);
  return pipeline;
}

void registerStageBenchmark(const char* name, int id, int position,
                            const std::vector<int64_t>& sizes) {
  benchmark::RegisterBenchmark(name,
                               [=](benchmark::State& state) {
                                 const cv::Mat& photo =
                                     benchPhoto(static_cast<int>(state.range(0)));
                                 const StageSlider& slider = *sliderById(id);
                                 Pipeline pipeline = warmPipeline(photo, slider, position);
                                 for (auto _ : state) {
                                   pipeline.move(slider, position);
                                   benchmark::DoNotOptimize(pipeline.dstImage.data);
                                 }
                                 countImageBytes(state, photo);
                               })
      ->ArgsProduct({sizes})
      ->Unit(benchmark::kMillisecond);
}
