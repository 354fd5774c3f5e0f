// The stage protocol: the stage table, chaining, re-running and cancelling, moves made on a
// pipeline; the library-backed tone cut-offs.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "tests/stage_moves.hpp"
#include "tests/test_images.hpp"

namespace {

cv::Mat blurred(const cv::Mat& image, int value) {
  cv::Mat out;
  cv::GaussianBlur(image, out, cv::Size(2 * value + 1, 2 * value + 1), 0, 0);
  return out;
}

cv::Mat bilateral(const cv::Mat& image, int value) {
  cv::Mat out;
  cv::bilateralFilter(image, out, 2 * value + 1, 4.0 * value + 1, value + 1.0);
  return out;
}

}  // namespace

TEST(StageTable, MatchesTheSlidersOfTheControlWindow) {
  // {label, maximum, id, position at start-up}: Black->0 comes before White->0 but has the higher
  // id, and only White->0 starts at its maximum.
  using Slider = std::tuple<std::string, int, int, int>;
  std::vector<Slider> table;
  for (const StageSlider& s : kStageTable) table.emplace_back(s.label, s.maximum, s.id, s.initial);
  EXPECT_EQ(table, (std::vector<Slider>{{"Bilateral", 20, 1, 0},
                                        {"Blur", 30, 2, 0},
                                        {"C.StretchC", 100, 3, 0},
                                        {"C.StretchP", 100, 4, 0},
                                        {"C.Smooth", 100, 5, 0},
                                        {"G.noise", 100, 6, 0},
                                        {"Black->0", 255, 8, 0},
                                        {"White->0", 255, 7, 255}}));
}

TEST(Protocol, RerunningAStageStartsFromTheSameBaseAndSwitchingFreezesTheResultIntoIt) {
  const cv::Mat photo = makePhoto(37, 53);
  Pipeline rerun(photo.clone());
  makeMoves(rerun, {{kBlurStage, 5}, {kBlurStage, 3}});
  EXPECT_EQ(countDifferences(rerun.dstImage, blurred(photo, 3)), 0);
  EXPECT_EQ(countDifferences(rerun.srcImage, photo), 0);

  const cv::Mat blurThenBilateral = bilateral(blurred(photo, 5), 2);
  Pipeline switched(photo.clone());
  makeMoves(switched, {{kBlurStage, 5}, {kBilateralStage, 2}});
  EXPECT_EQ(countDifferences(switched.dstImage, blurThenBilateral), 0);
  // Blur again: the blurred-and-bilateral result is blurred a second time.
  makeMoves(switched, {{kBlurStage, 5}});
  EXPECT_EQ(countDifferences(switched.srcImage, blurThenBilateral), 0);
  EXPECT_EQ(countDifferences(switched.dstImage, blurred(blurThenBilateral, 5)), 0);
  EXPECT_NE(switched.srcImage.data, switched.dstImage.data);
}

// Every move records its stage id, and moves cycle through three photo-sized buffers (base,
// result, the result being computed) instead of allocating; the base and the result share a
// buffer right after a switch of stage.
TEST(Protocol, MovesRecordTheirIdAndReuseThreeBuffers) {
  Pipeline pipeline(makePhoto(37, 53));
  std::set<const uchar*> buffers;
  for (int round = 0; round < 2; ++round) {
    for (const StageSlider& slider : kStageTable) {
      for (int again = 0; again < 2; ++again) {
        ASSERT_TRUE(pipeline.move(slider, slider.maximum / 4 + round));
        EXPECT_EQ(pipeline.lastStage, slider.id);
        EXPECT_NE(pipeline.running().data, pipeline.dstImage.data) << slider.label;
        buffers.insert(pipeline.srcImage.data);
        buffers.insert(pipeline.dstImage.data);
      }
    }
  }
  EXPECT_LE(buffers.size(), 3u);
}

// A cancelled run leaves the last complete result and the chain as they were; the chain lists
// each frozen stage once, then the current stage at its last complete position.
TEST(Protocol, CancelledRunsKeepTheLastResultAndTheChain) {
  const cv::Mat photo = makePhoto(37, 53);
  Pipeline pipeline(photo.clone());
  makeMoves(pipeline, {{kBlurStage, 2}, {kBlurStage, 4}});
  const cv::Mat blurred4 = pipeline.dstImage.clone();
  RunControl control;
  control.bandRows = 5;
  int bands = 0;
  control.bandDone = [&](int, int) {
    if (++bands == 2) control.cancel = true;
  };
  EXPECT_FALSE(pipeline.move(sliderOf(kBilateralStage), 3, &control));
  EXPECT_EQ(bands, 2);
  EXPECT_EQ(countDifferences(pipeline.dstImage, blurred4), 0);
  EXPECT_EQ(pipeline.chain(), (std::vector<StageStep>{{kBlurStage, 4}}));

  EXPECT_TRUE(pipeline.move(sliderOf(kBilateralStage), 3));
  EXPECT_EQ(countDifferences(pipeline.dstImage, bilateral(blurred4, 3)), 0);
  EXPECT_EQ(pipeline.chain(), (std::vector<StageStep>{{kBlurStage, 4}, {kBilateralStage, 3}}));
}

TEST(ToneCutOffs, EachSampleAgainstTheThreshold) {
  // Black->0 zeroes samples at or below the threshold; White->0 lowers samples above it to it.
  const cv::Mat pixel(1, 1, CV_8UC3, cv::Scalar(99, 100, 101));
  const struct {
    void (*filter)(const cv::Mat&, int, cv::Mat&);
    int value;
    cv::Vec3b expected;
  } cases[] = {{filterBlackToZero, 100, {0, 0, 101}},
               {filterWhiteToZero, 100, {99, 100, 100}},
               {filterBlackToZero, 255, {0, 0, 0}},
               {filterWhiteToZero, 0, {0, 0, 0}}};
  for (const auto& [filter, value, expected] : cases) {
    cv::Mat out;
    filter(pixel, value, out);
    EXPECT_EQ(out.at<cv::Vec3b>(0, 0), expected) << value;
  }
}
