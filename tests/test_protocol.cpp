// The stage protocol: the stage table, chaining, re-running and cancelling, driven through the
// handlers; the library-backed tone cut-offs.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "tests/stage_moves.hpp"
#include "tests/test_images.hpp"

namespace {

// The slider positions the tool starts with, read before any test resets the stages.
const std::vector<int> kStartValues = [] {
  std::vector<int> values;
  for (const StageSlider& slider : kStageTable) values.push_back(*slider.value);
  return values;
}();

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
  // {label, maximum, id, position at start-up, position after a reset}: Black->0 comes before
  // White->0 but has the higher id, and only White->0 starts at its maximum.
  using Slider = std::tuple<std::string, int, int, int, int>;
  resetStages();
  std::vector<Slider> table;
  std::set<int*> values;
  for (std::size_t i = 0; i < kStageTable.size(); ++i) {
    const StageSlider& s = kStageTable[i];
    table.emplace_back(s.label, s.maximum, s.id, kStartValues[i], *s.value);
    values.insert(s.value);
  }
  EXPECT_EQ(table, (std::vector<Slider>{{"Bilateral", 20, 1, 0, 0},
                                        {"Blur", 30, 2, 0, 0},
                                        {"C.StretchC", 100, 3, 0, 0},
                                        {"C.StretchP", 100, 4, 0, 0},
                                        {"C.Smooth", 100, 5, 0, 0},
                                        {"G.noise", 100, 6, 0, 0},
                                        {"Black->0", 255, 8, 0, 0},
                                        {"White->0", 255, 7, 255, 255}}));
  EXPECT_EQ(values.size(), 8u);
  EXPECT_EQ(lastStage, 0);
  EXPECT_TRUE(dstImage.empty());
}

TEST(Protocol, RerunningAStageStartsFromTheSameBaseAndSwitchingFreezesTheResultIntoIt) {
  const cv::Mat photo = makePhoto(37, 53);
  const cv::Mat rerun = afterMoves(photo, {{kBlurStage, 5}, {kBlurStage, 3}});
  EXPECT_EQ(countDifferences(rerun, blurred(photo, 3)), 0);
  EXPECT_EQ(countDifferences(srcImage, photo), 0);

  const cv::Mat blurThenBilateral = bilateral(blurred(photo, 5), 2);
  const cv::Mat switched = afterMoves(photo, {{kBlurStage, 5}, {kBilateralStage, 2}});
  EXPECT_EQ(countDifferences(switched, blurThenBilateral), 0);
  // Blur again: the blurred-and-bilateral result is blurred a second time.
  onBlur(0, nullptr);
  EXPECT_EQ(countDifferences(srcImage, blurThenBilateral), 0);
  EXPECT_EQ(countDifferences(dstImage, blurred(blurThenBilateral, 5)), 0);
  EXPECT_NE(srcImage.data, dstImage.data);
}

// Every handler records its id and shows its result, and slider events cycle through three
// photo-sized buffers (base, result, the result being computed) instead of allocating; the base
// and the result share a buffer right after a switch of stage.
TEST(Protocol, HandlersRecordTheirIdAndReuseThreeBuffers) {
  afterMoves(makePhoto(37, 53), {});
  static int shown = 0;
  setDisplayFunction([](const cv::Mat&) { ++shown; });
  std::set<const uchar*> buffers;
  for (int round = 0; round < 2; ++round) {
    for (const StageSlider& slider : kStageTable) {
      *slider.value = slider.maximum / 4 + round;
      for (int again = 0; again < 2; ++again) {
        slider.handler(0, nullptr);
        EXPECT_EQ(lastStage, slider.id);
        EXPECT_NE(nextImage.data, dstImage.data) << slider.label;
        buffers.insert(srcImage.data);
        buffers.insert(dstImage.data);
      }
    }
  }
  EXPECT_LE(buffers.size(), 3u);
  EXPECT_EQ(shown, 2 * 2 * 8);
  setDisplayFunction(nullptr);
}

// A cancelled run leaves the last complete result and the chain as they were; the chain lists
// each frozen stage once, then the current stage at its last complete position.
TEST(Protocol, CancelledRunsKeepTheLastResultAndTheChain) {
  const cv::Mat blurred4 = afterMoves(makePhoto(37, 53), {{kBlurStage, 2}, {kBlurStage, 4}});
  RunControl control;
  control.bandRows = 5;
  int bands = 0;
  control.bandDone = [&](int, int) {
    if (++bands == 2) control.cancel = true;
  };
  setRunControl(&control);
  bilateralValue = 3;
  onBilateral(0, nullptr);
  setRunControl(nullptr);
  EXPECT_EQ(bands, 2);
  EXPECT_EQ(countDifferences(dstImage, blurred4), 0);
  EXPECT_EQ(stageChain(), (std::vector<StageStep>{{kBlurStage, 4}}));

  onBilateral(0, nullptr);
  EXPECT_EQ(countDifferences(dstImage, bilateral(blurred4, 3)), 0);
  EXPECT_EQ(stageChain(), (std::vector<StageStep>{{kBlurStage, 4}, {kBilateralStage, 3}}));
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
