// Gaussian noise filter.
#include "filters/noise.hpp"

#include <algorithm>
#include <cmath>
#include <opencv2/core/hal/intrin.hpp>

namespace {

// Pixels whose noise is drawn at once: small enough for the float buffer (48 KiB) to stay in the
// cache between the draw and the addition, large enough to make the per-draw overhead negligible.
constexpr int kChunkPixels = 4096;

// dst[k] = saturate_cast<uchar>(float(src[k]) + noise[k]) for k < count.
void addSaturated(const uchar* src, const float* noise, uchar* dst, int count) {
  int k = 0;
#if CV_SIMD
  // Conversion to int rounds half to even, and the two saturating packs clamp to 0..255:
  // the same as saturate_cast<uchar>(float) sample by sample.
  constexpr int lanes = cv::v_uint8::nlanes;
  constexpr int quarter = cv::v_float32::nlanes;
  for (; k <= count - lanes; k += lanes) {
    cv::v_uint16 low, high;
    cv::v_expand(cv::vx_load(src + k), low, high);
    cv::v_uint32 a, b, c, d;
    cv::v_expand(low, a, b);
    cv::v_expand(high, c, d);
    const cv::v_int32 ra =
        cv::v_round(cv::v_cvt_f32(cv::v_reinterpret_as_s32(a)) + cv::vx_load(noise + k));
    const cv::v_int32 rb =
        cv::v_round(cv::v_cvt_f32(cv::v_reinterpret_as_s32(b)) + cv::vx_load(noise + k + quarter));
    const cv::v_int32 rc = cv::v_round(cv::v_cvt_f32(cv::v_reinterpret_as_s32(c)) +
                                       cv::vx_load(noise + k + 2 * quarter));
    const cv::v_int32 rd = cv::v_round(cv::v_cvt_f32(cv::v_reinterpret_as_s32(d)) +
                                       cv::vx_load(noise + k + 3 * quarter));
    cv::v_store(dst + k, cv::v_pack_u(cv::v_pack(ra, rb), cv::v_pack(rc, rd)));
  }
  cv::vx_cleanup();
#endif
  for (; k < count; ++k) dst[k] = cv::saturate_cast<uchar>(float(src[k]) + noise[k]);
}

}  // namespace

void filterNoiseRows(const cv::Mat& src, double sigma, cv::RNG& rng, cv::Mat& dst,
                     const cv::Range& band) {
  CV_Assert(src.type() == CV_8UC3 && dst.size() == src.size() && dst.type() == src.type());
  const cv::Mat in = src.rowRange(band);
  cv::Mat out = dst.rowRange(band);
  if (sigma == 0) {
    // Zero spread: every sample keeps its value exactly, and nothing is drawn.
    in.copyTo(out);
    return;
  }

  // The noise is drawn on the calling thread, chunk after chunk in raster order, from `rng`. Draws
  // inside cv::parallel_for_ workers are no good: each stripe starts from a copy of the caller's
  // generator state, so every stripe would get the same noise. The generator draws sample after
  // sample, so where the chunks start does not change the field. Drawing dominates the cost; adding
  // a chunk right after drawing it keeps the noise in cache.
  const bool continuous = in.isContinuous() && out.isContinuous();
  const int rows = continuous ? 1 : in.rows;
  const int cols = continuous ? static_cast<int>(in.total()) : in.cols;
  if (cols == 0) return;
  cv::Mat noise(1, std::min(cols, kChunkPixels), CV_32FC3);
  for (int i = 0; i < rows; ++i) {
    const uchar* s = in.ptr<uchar>(i);
    uchar* d = out.ptr<uchar>(i);
    for (int j = 0; j < cols; j += kChunkPixels) {
      const int count = std::min(cols - j, kChunkPixels);
      cv::Mat part = noise.colRange(0, count);
      // One three-channel draw gives every sample of every channel a value of its own.
      rng.fill(part, cv::RNG::NORMAL, cv::Scalar::all(0.0), cv::Scalar::all(sigma));
      addSaturated(s + 3 * j, part.ptr<float>(), d + 3 * j, 3 * count);
    }
  }
}

void filterNoise(const cv::Mat& src, int value, cv::Mat& dst) {
  CV_Assert(src.type() == CV_8UC3);
  dst.create(src.size(), src.type());
  filterNoiseRows(src, value * 0.5, cv::theRNG(), dst, cv::Range(0, src.rows));
}

ClippedNoise clippedNoise(double sigma) {
  ClippedNoise noise;
  const auto below = [sigma](double x) { return 0.5 * std::erfc(-x / (sigma * std::sqrt(2.0))); };
  for (int v = 0; v < 256; ++v) {
    if (sigma == 0) {
      noise.mean[v] = float(v);
      noise.deviation[v] = 0;
      continue;
    }
    // Output k gathers the noisy values that round to it; 0 and 255 gather everything beyond.
    double sum = 0, squares = 0;
    for (int k = 0; k < 256; ++k) {
      const double low = k == 0 ? 0.0 : below(k - 0.5 - v);
      const double high = k == 255 ? 1.0 : below(k + 0.5 - v);
      sum += k * (high - low);
      squares += double(k) * k * (high - low);
    }
    noise.mean[v] = float(sum);
    noise.deviation[v] = float(std::sqrt(std::max(0.0, squares - sum * sum)));
  }
  return noise;
}

void filterAveragedNoiseRows(const cv::Mat& src, double sigma, double scale, cv::RNG& rng,
                             cv::Mat& dst, const cv::Range& band) {
  CV_Assert(src.type() == CV_8UC3 && dst.size() == src.size() && dst.type() == src.type());
  const ClippedNoise noise = clippedNoise(sigma);
  cv::Mat draws(1, src.cols * 3, CV_32F);
  for (int i = band.start; i < band.end; ++i) {
    rng.fill(draws, cv::RNG::NORMAL, 0.0, scale);
    const uchar* s = src.ptr<uchar>(i);
    const float* z = draws.ptr<float>();
    uchar* d = dst.ptr<uchar>(i);
    for (int n = 0; n < src.cols * 3; ++n) {
      d[n] = cv::saturate_cast<uchar>(noise.mean[s[n]] + noise.deviation[s[n]] * z[n]);
    }
  }
}
