// Gaussian noise stage: exact arithmetic for given draws, the spread and independence of the
// noise over repeated moves, and clipping.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "stages/stages.hpp"
#include "tests/test_images.hpp"

namespace {

// Statistical bounds are six standard errors: a false alarm has odds of about 1e-9 per check.
constexpr double kErrors = 6.0;
constexpr int kSide = 200;  // 40000 pixels per channel
constexpr double kSamples = kSide * kSide;

cv::Mat grey(int level) {
  return cv::Mat(kSide, kSide, CV_8UC3, cv::Scalar::all(level));
}

// Pearson correlation of two one-channel float images; about 1/sqrt(n) when independent.
double correlation(const cv::Mat& x, const cv::Mat& y) {
  cv::Scalar mx, sx, my, sy;
  cv::meanStdDev(x, mx, sx);
  cv::meanStdDev(y, my, sy);
  return (cv::mean(x.mul(y))[0] - mx[0] * my[0]) / (sx[0] * sy[0]);
}

}  // namespace

TEST(NoiseStage, EqualsTheFloatSumOfOneRasterOrderDraw) {
  const cv::Mat wide = makeRandom(70, 97, 3);       // more pixels than one draw holds
  const cv::Mat longRows = makeRandom(3, 4200, 4);  // rows longer than one draw
  const cv::Mat bases[] = {makeRandom(5, 5, 2), wide, wide(cv::Rect(3, 2, 61, 60)),
                           longRows(cv::Rect(1, 0, 4150, 3))};
  cv::RNG& rng = cv::theRNG();
  for (const cv::Mat& base : bases) {
    for (int value : {0, 3, 100}) {
      const uint64 start = rng.state;
      cv::Mat out, expected, noise(base.size(), CV_32FC3, cv::Scalar::all(0));
      filterNoise(base, value, out);
      const uint64 end = rng.state;
      // Rewind the generator and draw the same values the plain way.
      rng.state = start;
      if (value > 0) cv::randn(noise, cv::Scalar::all(0.0), cv::Scalar::all(value * 0.5));
      EXPECT_EQ(rng.state, end) << "values drawn differ at " << value;
      base.convertTo(expected, CV_32FC3);
      cv::Mat(expected + noise).convertTo(expected, CV_8UC3);
      EXPECT_EQ(countDifferences(out, expected), 0) << base.size() << " at " << value;
    }
  }
}

TEST(NoiseStage, ClipsAtBlackAndWhiteWithoutWrapping) {
  // Spread 50: samples of black whose noise stays at or below +0.5 clip to 0 (0.5 goes to the even
  // 0), those of white whose noise stays above -0.5 to 255. Wrapping would leave far fewer there.
  const double n = 3 * kSamples, p = 1 - 0.5 * std::erfc(0.5 / 50 / std::sqrt(2.0));
  cv::Mat black, white;
  filterNoise(grey(0), 100, black);
  filterNoise(grey(255), 100, white);
  for (const cv::Mat& clipped : {cv::Mat(black == 0), cv::Mat(white == 255)}) {
    EXPECT_NEAR(cv::countNonZero(clipped.reshape(1)) / n, p, kErrors * std::sqrt(p * (1 - p) / n));
  }
}

TEST(NoiseHandler, EachMoveAddsOneFreshFieldOfTheSliderSpreadToTheBase) {
  resetStages();
  setDisplayFunction([](const cv::Mat&) {});
  const cv::Mat base = grey(128);
  srcImage = base.clone();
  cv::Mat previous;
  // Spreads that stay far from 0 and 255 on this base, so nothing clips; one position twice.
  for (int value : {2, 20, 20, 50}) {
    noiseValue = value;
    onNoise(0, nullptr);
    cv::Mat noise;
    dstImage.convertTo(noise, CV_32FC3, 1.0, -128.0);
    // Rounding to whole grey levels adds a uniform error of variance 1/12.
    const double sigma = value * 0.5, spread = std::sqrt(sigma * sigma + 1.0 / 12);
    cv::Scalar mean, sd;
    cv::meanStdDev(noise, mean, sd);
    std::vector<cv::Mat> planes;
    cv::split(noise, planes);
    for (int k = 0; k < 3; ++k) {
      EXPECT_NEAR(mean[k], 0.0, kErrors * spread / std::sqrt(kSamples)) << value;
      EXPECT_NEAR(sd[k], spread, kErrors * spread / std::sqrt(2 * kSamples)) << value;
      EXPECT_NEAR(correlation(planes[k], planes[(k + 1) % 3]), 0.0, kErrors / std::sqrt(kSamples));
    }
    // A fresh field each move, not the previous one again or piled on it.
    if (!previous.empty()) {
      EXPECT_NEAR(correlation(noise.reshape(1), previous.reshape(1)), 0.0,
                  kErrors / std::sqrt(3 * kSamples));
    }
    previous = noise;
  }
  EXPECT_EQ(countDifferences(srcImage, base), 0);
  setDisplayFunction(nullptr);
  resetStages();
}
