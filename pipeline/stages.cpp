// What a move of each slider runs, and how its parameters follow the size of the picture it runs
// on. On the photo itself (scale 1) every stage makes exactly the calls of its whole-image filter.
#include "pipeline/stages.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <opencv2/imgproc.hpp>

#include "pipeline/scaling.hpp"

namespace {

// An odd kernel size whose half follows `half` at `scale`, at least 3 once there is any reach.
int scaledKernel(int half, double scale) {
  return 2 * std::max(1, static_cast<int>(std::lround(half * scale))) + 1;
}

// The bilateral filter's diameter at `scale`.
int bilateralDiameter(int position, double scale) {
  return scale == 1.0 ? 2 * position + 1 : 2 * static_cast<int>(std::lround(position * scale)) + 1;
}

// A per-sample map on a picture smaller than the photo: the map of the photo-sized base scaled
// into the picture's rows, when the base is there (see PreviewRule::kMapped).
bool mapsPhotoBase(const cv::Mat& src, const StageArgs& args) {
  return args.scale != 1.0 && args.photoBase.size() != src.size();
}

// The scaling from the photo-sized base into the small picture, sampled at the step asked for as
// far as the base has samples to spare.
std::shared_ptr<const AreaScaling> photoScaling(const cv::Mat& src, const StageArgs& args) {
  const cv::Size photo = args.photoBase.size();
  const int step =
      std::max(1, std::min({args.photoStep, photo.width / src.cols, photo.height / src.rows}));
  return std::make_shared<const AreaScaling>(cv::Size(photo.width / step, photo.height / step),
                                             src.size(), step);
}

BandFilter mappedPreview(const cv::Mat& src, const StageArgs& args,
                         const std::array<uchar, 256>& map) {
  auto scaling = photoScaling(src, args);
  const cv::Mat& base = args.photoBase;
  return [&base, scaling, map](const cv::Range& rows, cv::Mat& dst) {
    scaling->scale(base, dst, rows, map.data());
  };
}

}  // namespace

double bilateralWork(int position, double scale) {
  const int diameter = bilateralDiameter(position, scale);
  return diameter * diameter + 4.0;
}

double blurWork(int position, double scale) {
  return (scale == 1.0 ? 2 * position + 1 : scaledKernel(position, scale)) + 4.0;
}

double sampleWork(int, double) {
  return 1.0;
}

// The neighbourhood's diameter and space sigma are distances in the picture and shrink with it;
// the colour sigma is a distance between tones and does not.
BandFilter onBilateral(const cv::Mat& src, const StageArgs& args) {
  BilateralParams params = bilateralParams(args.position);
  if (args.scale != 1.0 && args.position > 0) {
    params.diameter = bilateralDiameter(args.position, args.scale);
    params.sigmaSpace *= args.scale;
  }
  return [&src, params](const cv::Range& rows, cv::Mat& dst) {
    filterBilateralRows(src, params, dst, rows);
  };
}

// The sigma the library derives from the kernel size shrinks with the picture and is passed
// explicitly: the derived sigma is not proportional to the kernel size, so a scaled kernel alone
// would blur differently. The kernel keeps its reach in sigmas.
BandFilter onBlur(const cv::Mat& src, const StageArgs& args) {
  BlurParams params = blurParams(args.position);
  if (args.scale != 1.0 && args.position > 0) {
    params.sigma = derivedBlurSigma(params.size) * args.scale;
    params.size = scaledKernel(args.position, args.scale);
  }
  return [&src, params](const cv::Range& rows, cv::Mat& dst) {
    filterBlurRows(src, params, dst, rows);
  };
}

// The range scan and the tables cover the whole base at the photo's size, once per run; the bands
// only look up. A stretch is an affine map of each sample, which commutes with averaging, so on a
// smaller picture it only needs the photo's range.
BandFilter onStretchC(const cv::Mat& src, const StageArgs& args) {
  auto map = std::make_shared<const StretchMap>(stretchCMap(args.photoBase, args.position));
  return
      [&src, map](const cv::Range& rows, cv::Mat& dst) { filterStretchRows(src, *map, dst, rows); };
}

BandFilter onStretchP(const cv::Mat& src, const StageArgs& args) {
  auto map =
      std::make_shared<const StretchMap>(stretchPMap(args.photoBase, args.position, args.gray));
  return
      [&src, map](const cv::Range& rows, cv::Mat& dst) { filterStretchRows(src, *map, dst, rows); };
}

// On a picture a few times smaller than the photo the 5x5 window lies inside one sample, so each
// sample is smoothed as if its window held its own value. With the photo-sized base, the window's
// picture is made of the two terms apart: the base term, a fraction of each sample, from the
// picture itself, and the neighbour terms, whose truncation does not commute with averaging, as
// the mean of every sample's term over each pixel, spread as far as the 5x5 window reaches (a
// Gaussian of the box's spread, sqrt(2) samples), times the window's 25 samples, to the nearest
// level.
BandFilter onSmooth(const cv::Mat& src, const StageArgs& args) {
  const int value = args.position;
  if (mapsPhotoBase(src, args)) {
    // The terms (at most 10) times 23 keep the fractions of their mean over a pixel.
    constexpr int kFraction = 23;
    const SmoothTerms terms = smoothTerms(value);
    std::array<uchar, 256> scaled;
    for (int v = 0; v < 256; ++v) scaled[v] = static_cast<uchar>(kFraction * terms.neighbour[v]);
    auto window = std::make_shared<cv::Mat>(src.size(), CV_8UC3);
    photoScaling(src, args)->scale(args.photoBase, *window, cv::Range(0, src.rows), scaled.data());
    window->convertTo(*window, CV_8U, 25.0 / kFraction);
    // A spread below one pixel of the picture takes three taps (a, 1 - 2a, a), whose variance 2a
    // is the Gaussian's.
    const double sigma = std::sqrt(2.0) * args.scale;
    if (sigma < 0.8) {
      const float a = float(sigma * sigma / 2);
      const cv::Matx13f taps(a, 1 - 2 * a, a);
      cv::sepFilter2D(*window, *window, -1, taps, taps.t());
    } else {
      cv::GaussianBlur(*window, *window, cv::Size(), sigma);
    }
    auto base = std::make_shared<cv::Mat>(1, 256, CV_8U);
    std::copy(terms.base.begin(), terms.base.end(), base->ptr<uchar>());
    return [&src, window, base](const cv::Range& rows, cv::Mat& dst) {
      cv::Mat out = dst.rowRange(rows);
      cv::LUT(src.rowRange(rows), *base, out);
      cv::add(out, window->rowRange(rows), out);  // saturating
    };
  }
  if (args.scale <= 0.5) {
    return [&src, value](const cv::Range& rows, cv::Mat& dst) {
      filterSmoothFlatRows(src, value, dst, rows);
    };
  }
  return [&src, value](const cv::Range& rows, cv::Mat& dst) {
    filterSmoothRows(src, value, dst, rows);
  };
}

// Averaging n independent samples divides their spread by sqrt(n): a picture `scale` times the
// photo's size averages 1/scale^2 noisy samples into one, so its noise has `scale` times the
// spread the saved photo shows at that size, and near black and white the clipping of each
// sample shifts the average too.
BandFilter onNoise(const cv::Mat& src, const StageArgs& args) {
  const double sigma = args.position * 0.5;
  const double scale = args.scale;
  cv::RNG* rng = &args.rng;
  if (scale == 1.0) {
    return [&src, sigma, rng](const cv::Range& rows, cv::Mat& dst) {
      filterNoiseRows(src, sigma, *rng, dst, rows);
    };
  }
  return [&src, sigma, scale, rng](const cv::Range& rows, cv::Mat& dst) {
    filterAveragedNoiseRows(src, sigma, scale, *rng, dst, rows);
  };
}

BandFilter onBlackToZero(const cv::Mat& src, const StageArgs& args) {
  const int value = args.position;
  if (mapsPhotoBase(src, args)) {
    std::array<uchar, 256> map;
    for (int v = 0; v < 256; ++v) map[v] = static_cast<uchar>(v > value ? v : 0);
    return mappedPreview(src, args, map);
  }
  return [&src, value](const cv::Range& rows, cv::Mat& dst) {
    filterBlackToZeroRows(src, value, dst, rows);
  };
}

BandFilter onWhiteToZero(const cv::Mat& src, const StageArgs& args) {
  const int value = args.position;
  if (mapsPhotoBase(src, args)) {
    std::array<uchar, 256> map;
    for (int v = 0; v < 256; ++v) map[v] = static_cast<uchar>(std::min(v, value));
    return mappedPreview(src, args, map);
  }
  return [&src, value](const cv::Range& rows, cv::Mat& dst) {
    filterWhiteToZeroRows(src, value, dst, rows);
  };
}
