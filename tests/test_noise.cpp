// Gaussian noise stage: each sample is the float sum of the base and one draw of the library's
// generator, in raster order with the channels drawn independently, rounded and clipped to a byte.
#include <gtest/gtest.h>

#include "pipeline/stages.hpp"
#include "tests/test_images.hpp"

TEST(NoiseStage, EqualsTheFloatSumOfOneRasterOrderDraw) {
  const cv::Mat wide = makeRandom(70, 97, 3);       // more pixels than one draw holds
  const cv::Mat longRows = makeRandom(3, 4200, 4);  // rows longer than one draw
  // Random bases hold black and white samples, whose noise must clip instead of wrapping.
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
