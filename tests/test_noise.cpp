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

cv::Mat noiseOf(const cv::Mat& out, const cv::Mat& base) {
  cv::Mat a, b;
  out.convertTo(a, CV_32FC3);
  base.convertTo(b, CV_32FC3);
  return a - b;
}

// Pearson correlation of two one-channel float images; about 1/sqrt(n) when independent.
double correlation(const cv::Mat& x, const cv::Mat& y) {
  cv::Scalar mx, sx, my, sy;
  cv::meanStdDev(x, mx, sx);
  cv::meanStdDev(y, my, sy);
  return (cv::mean(x.mul(y))[0] - mx[0] * my[0]) / (sx[0] * sy[0]);
}

// Share of samples at or below `level`, against its expectation p within six binomial errors.
void expectShare(const cv::Mat& image, int level, double p, double n) {
  const double share = cv::countNonZero(image.reshape(1) <= level) / n;
  EXPECT_NEAR(share, p, kErrors * std::sqrt(p * (1 - p) / n)) << "at or below " << level;
}

double upperTail(double z) {
  return 0.5 * std::erfc(z / std::sqrt(2.0));
}

}  // namespace

TEST(NoiseStage, EqualsTheFloatSumOfOneRasterOrderDraw) {
  const cv::Mat wide = makeRandom(70, 97, 3);       // more pixels than one draw holds
  const cv::Mat longRows = makeRandom(3, 4200, 4);  // rows longer than one draw
  const cv::Mat bases[] = {makeRandom(1, 1),
                           makeRandom(5, 5, 2),
                           makePhoto(4, 37),
                           wide,
                           wide(cv::Rect(3, 2, 61, 60)),
                           longRows(cv::Rect(1, 0, 4150, 3))};
  cv::RNG& rng = cv::theRNG();
  for (const cv::Mat& base : bases) {
    for (int value : {0, 1, 7, 40, 100}) {
      const uint64 start = rng.state;
      cv::Mat out;
      filterNoise(base, value, out);
      const uint64 end = rng.state;
      // Rewind the generator and draw the same values the plain way.
      rng.state = start;
      cv::Mat noise(base.size(), CV_32FC3), expected;
      if (value > 0) cv::randn(noise, cv::Scalar::all(0.0), cv::Scalar::all(value * 0.5));
      EXPECT_EQ(rng.state, end) << "values drawn differ at " << value;
      base.convertTo(expected, CV_32FC3, 1.0, 0.0);
      if (value > 0) cv::add(expected, noise, expected);
      expected.convertTo(expected, CV_8UC3, 1.0, 0.0);
      ASSERT_EQ(out.type(), CV_8UC3);
      EXPECT_EQ(countDifferences(out, expected), 0) << base.size() << " at " << value;
    }
  }
}

TEST(NoiseStage, ClipsAtBlackAndWhiteWithoutWrapping) {
  // Spread 50: on black, samples whose noise stays at or below +0.5 round to 0 (0.5 goes to the
  // even 0), and noise beyond 127.5 is the only way past 127. White mirrors this.
  const double n = 3 * kSamples, atEdge = 1 - upperTail(0.5 / 50), far = upperTail(127.5 / 50);
  cv::Mat out;
  filterNoise(grey(0), 100, out);
  expectShare(out, 0, atEdge, n);
  expectShare(out, 127, 1 - far, n);
  filterNoise(grey(255), 100, out);
  expectShare(out, 254, 1 - atEdge, n);
  expectShare(out, 127, far, n);
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
    const cv::Mat noise = noiseOf(dstImage, base);
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
  EXPECT_EQ(lastStage, kNoiseStage);
  EXPECT_EQ(countDifferences(srcImage, base), 0);
  setDisplayFunction(nullptr);
  resetStages();
}
