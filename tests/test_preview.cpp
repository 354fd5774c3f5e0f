// The preview pipeline: every stage's picture at the window's size is faithful to the exact result
// scaled down with area averaging, and the protocol (re-runs, commits, a base the exact pipeline
// has not made yet) holds in it.
#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/imgproc.hpp>

#include "pipeline/preview.hpp"
#include "tests/stage_moves.hpp"
#include "tests/test_images.hpp"

namespace {

// A photo-like picture: smooth gradients, texture at several scales and a few hard edges.
cv::Mat makeScene(int rows, int cols) {
  cv::Mat scene(rows, cols, CV_32FC3);
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < cols; ++j) {
      const float x = float(j) / cols, y = float(i) / rows;
      scene.at<cv::Vec3f>(i, j) = {40 + 150 * x, 50 + 140 * y + 30 * std::sin(12 * x),
                                   30 + 180 * x * y};
    }
  }
  cv::RNG rng(7);
  for (int size : {1, 4, 12}) {
    cv::Mat texture(rows, cols, CV_32FC3);
    rng.fill(texture, cv::RNG::NORMAL, 0, 18);
    cv::GaussianBlur(texture, texture, cv::Size(2 * size + 1, 2 * size + 1), 0);
    scene += texture * double(size);
  }
  cv::rectangle(scene, cv::Rect(cols / 5, rows / 4, cols / 3, rows / 3), cv::Scalar(30, 200, 90),
                cv::FILLED);
  cv::circle(scene, cv::Point(cols * 2 / 3, rows / 2), rows / 5, cv::Scalar(220, 60, 40),
             cv::FILLED);
  cv::Mat photo;
  scene.convertTo(photo, CV_8UC3);
  return photo;
}

// The same scene in the mid-tones, but for its extremes: one sample at 255 (a specular highlight)
// and one at 0 (a dead pixel), which averaging pulls in.
cv::Mat withIsolatedExtremes(const cv::Mat& scene) {
  cv::Mat photo = scene * 0.75 + cv::Scalar::all(30);
  photo.at<cv::Vec3b>(photo.rows / 3, photo.cols / 3) = cv::Vec3b(255, 255, 255);
  photo.at<cv::Vec3b>(photo.rows / 2, photo.cols * 3 / 4) = cv::Vec3b(0, 0, 0);
  return photo;
}

// Standard deviation of the difference of two pictures, over all samples.
double spread(const cv::Mat& a, const cv::Mat& b) {
  cv::Mat diff, mean, deviation;
  cv::subtract(a, b, diff, cv::noArray(), CV_32F);
  cv::meanStdDev(diff.reshape(1), mean, deviation);
  return deviation.at<double>(0);
}

}  // namespace

class PreviewOf : public ::testing::TestWithParam<int> {};

// At its least, middle and largest positions, at two window sizes and on scenes whose extremes
// are large areas or isolated samples, the preview on the photo-sized base reaches 35 dB against
// the exact result scaled down (noise: the spread the saved photo has at that size, within 15%),
// and the cut-offs' is that scaled result itself.
TEST_P(PreviewOf, IsFaithfulToTheExactResultScaledDown) {
  const StageSlider& slider = kStageTable[GetParam()];
  for (const cv::Mat& photo : {makeScene(900, 1200), withIsolatedExtremes(makeScene(900, 1200))})
    for (const double factor : {2.5, 4.0}) {
      const cv::Size size(int(photo.cols / factor), int(photo.rows / factor));
      const cv::Mat base = areaScaled(photo, size);
      for (const int position : {0, slider.maximum / 2, slider.maximum}) {
        const cv::Mat exact = areaScaled(afterMoves(photo, {{slider.id, position}}), size);
        PreviewPipeline preview(photo, size);
        ASSERT_TRUE(preview.move(slider, position, photo));
        const cv::Mat& picture = preview.picture();
        ASSERT_EQ(picture.size(), size);
        if (slider.id == kNoiseStage && position > 0) {
          const double wanted = spread(exact, base);
          EXPECT_NEAR(spread(picture, base), wanted, 0.15 * wanted)
              << slider.label << " " << position << " at 1/" << factor;
        } else if (slider.id == kBlackToZeroStage || slider.id == kWhiteToZeroStage) {
          EXPECT_EQ(countDifferences(picture, exact), 0) << slider.label << " " << position;
        } else {
          // The window must show at least 35 dB; these stages keep a margin above that on these
          // scenes, so that a wrong scale rule shows (the smoothing's window is approximated).
          EXPECT_GE(cv::PSNR(picture, exact), slider.id == kSmoothStage ? 38.0 : 42.0)
              << slider.label << " " << position << " at 1/" << factor;
        }
      }
    }
}
INSTANTIATE_TEST_SUITE_P(EverySlider, PreviewOf, ::testing::Range(0, int(kStageTable.size())));

// Re-runs start from the same base, another slider freezes the preview's result, a move whose
// base the exact pipeline has not made yet builds on the preview's own result, and once that base
// arrives the same move starts again from it.
TEST(Preview, TheProtocolHoldsAndTheExactBaseReplacesThePreviewsOwn) {
  const cv::Mat photo = makeScene(600, 800);
  const cv::Size size(200, 150);
  const auto fresh = [&](const cv::Mat& base, int id, int position) {
    PreviewPipeline preview(base, size);
    preview.move(sliderOf(id), position, base);
    return preview.picture().clone();
  };
  PreviewPipeline preview(photo, size);
  preview.move(sliderOf(kBlurStage), 12, photo);
  preview.move(sliderOf(kBlurStage), 4, photo);
  EXPECT_EQ(countDifferences(preview.picture(), fresh(photo, kBlurStage, 4)), 0);

  const std::vector<StageStep> chain = {{kBlurStage, 4}, {kBilateralStage, 8}, {kSmoothStage, 60}};
  for (std::size_t step = 1; step < chain.size(); ++step) {
    preview.move(sliderOf(chain[step].id), chain[step].value, cv::Mat());
    const std::vector<StageStep> made(chain.begin(), chain.begin() + step + 1);
    EXPECT_GE(cv::PSNR(preview.picture(), areaScaled(afterMoves(photo, made), size)), 30.0)
        << made.size() << " steps on the preview's own results";
  }
  const cv::Mat exactBase = afterMoves(photo, {chain[0], chain[1]});
  preview.move(sliderOf(kSmoothStage), 60, exactBase);
  EXPECT_EQ(countDifferences(preview.picture(), fresh(exactBase, kSmoothStage, 60)), 0);
}
