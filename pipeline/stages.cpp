// What a move of each slider runs, and how its parameters follow the size of the picture it runs
// on. On the photo itself (scale 1) every stage makes exactly the calls of its whole-image filter.
#include "pipeline/stages.hpp"

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

// An odd kernel size whose half follows `half` at `scale`, at least 3 once there is any reach.
int scaledKernel(int half, double scale) {
  return 2 * std::max(1, static_cast<int>(std::lround(half * scale))) + 1;
}

}  // namespace

// The neighbourhood's diameter and space sigma are distances in the picture and shrink with it;
// the colour sigma is a distance between tones and does not.
BandFilter onBilateral(const cv::Mat& src, const StageArgs& args) {
  BilateralParams params = bilateralParams(args.position);
  if (args.scale != 1.0 && args.position > 0) {
    params.diameter = 2 * static_cast<int>(std::lround(args.position * args.scale)) + 1;
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
// sample is smoothed as if its window held its own value.
BandFilter onSmooth(const cv::Mat& src, const StageArgs& args) {
  const int value = args.position;
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
  return [&src, value](const cv::Range& rows, cv::Mat& dst) {
    filterBlackToZeroRows(src, value, dst, rows);
  };
}

BandFilter onWhiteToZero(const cv::Mat& src, const StageArgs& args) {
  const int value = args.position;
  return [&src, value](const cv::Range& rows, cv::Mat& dst) {
    filterWhiteToZeroRows(src, value, dst, rows);
  };
}
