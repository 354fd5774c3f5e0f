// Gaussian noise stage against the plain route through whole-image float planes.
#include <vector>

#include "bench/bench_common.hpp"

namespace {

constexpr int kPosition = 40;

// The plain route: the whole image to float, one noise plane drawn and added per channel, back
// to 8 bits. Five full-size float images pass through memory on every slider event.
void noiseLiteral(benchmark::State& state) {
  const cv::Mat& photo = benchPhoto(static_cast<int>(state.range(0)));
  const double sigma = kPosition * 0.5;
  cv::Mat result;
  for (auto _ : state) {
    cv::Mat noise(photo.rows, photo.cols, CV_32FC1);
    noise.setTo(cv::Scalar::all(0));
    photo.convertTo(result, CV_32FC3, 1.0, 0.0);
    std::vector<cv::Mat> planes;
    cv::split(result, planes);
    for (int i = 0; i < result.channels(); ++i) {
      cv::randn(noise, cv::Scalar::all(0.0), cv::Scalar::all(sigma));
      cv::add(planes[i], noise, planes[i], cv::noArray(), -1);
    }
    cv::merge(planes, result);
    result.convertTo(result, CV_8UC3, 1.0, 0.0);
    benchmark::DoNotOptimize(result.data);
  }
  countImageBytes(state, photo);
}

const int registered = [] {
  registerStageBenchmark("Noise", kNoiseStage, kPosition);
  registerPhotoBenchmark("NoiseLiteral", noiseLiteral);
  return 0;
}();

}  // namespace
