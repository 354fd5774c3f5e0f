// The stage protocol: chaining, re-running and the stage table, driven through the handlers.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>
#include <set>
#include <string>
#include <utility>

#include "stages/stages.hpp"
#include "tests/test_images.hpp"

namespace {

class Protocol : public ::testing::Test {
 protected:
  void SetUp() override {
    resetStages();
    setDisplayFunction(countDisplay);
    shown = 0;
    photo = makePhoto(37, 53);
    srcImage = photo.clone();
  }
  void TearDown() override {
    setDisplayFunction(nullptr);
    resetStages();
  }
  static void countDisplay(const cv::Mat&) { ++shown; }
  static int shown;
  cv::Mat photo;
};

int Protocol::shown = 0;

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
  resetStages();
  const std::string labels[] = {"Bilateral", "Blur",    "C.StretchC", "C.StretchP",
                                "C.Smooth",  "G.noise", "Black->0",   "White->0"};
  const int maxima[] = {20, 30, 100, 100, 100, 100, 255, 255};
  const int ids[] = {1, 2, 3, 4, 5, 6, 8, 7};
  std::set<int*> values;
  for (std::size_t i = 0; i < kStageTable.size(); ++i) {
    EXPECT_EQ(kStageTable[i].label, labels[i]);
    EXPECT_EQ(kStageTable[i].maximum, maxima[i]);
    EXPECT_EQ(kStageTable[i].id, ids[i]);
    EXPECT_EQ(*kStageTable[i].value, i == 7 ? 255 : 0) << labels[i];
    values.insert(kStageTable[i].value);
  }
  EXPECT_EQ(values.size(), 8u);
  EXPECT_EQ(lastStage, 0);
  EXPECT_TRUE(dstImage.empty());
}

TEST_F(Protocol, RerunningAStageStartsAgainFromTheSameBase) {
  blurValue = 5;
  onBlur(0, nullptr);
  blurValue = 3;
  onBlur(0, nullptr);
  EXPECT_EQ(countDifferences(dstImage, blurred(photo, 3)), 0);
  EXPECT_EQ(countDifferences(srcImage, photo), 0);
  EXPECT_EQ(lastStage, kBlurStage);
  EXPECT_EQ(shown, 2);
}

TEST_F(Protocol, SwitchingStagesFreezesTheLastResultIntoTheBase) {
  blurValue = 5;
  onBlur(0, nullptr);
  bilateralValue = 2;
  onBilateral(0, nullptr);
  const cv::Mat blurThenBilateral = bilateral(blurred(photo, 5), 2);
  EXPECT_EQ(countDifferences(dstImage, blurThenBilateral), 0);
  EXPECT_EQ(lastStage, kBilateralStage);

  // Blur again: the blurred-and-bilateral result is blurred a second time.
  onBlur(0, nullptr);
  EXPECT_EQ(countDifferences(srcImage, blurThenBilateral), 0);
  EXPECT_EQ(countDifferences(dstImage, blurred(blurThenBilateral, 5)), 0);
  EXPECT_NE(srcImage.data, dstImage.data);
}

TEST_F(Protocol, TheFirstMoveCommitsNothingAndRepeatsAreStable) {
  blackValue = 40;
  onBlackToZero(0, nullptr);
  EXPECT_EQ(countDifferences(srcImage, photo), 0);
  const cv::Mat first = dstImage.clone();
  onBlackToZero(0, nullptr);
  EXPECT_EQ(countDifferences(dstImage, first), 0);
  // The callback's own argument is ignored; the value variable decides.
  onBlackToZero(200, nullptr);
  EXPECT_EQ(countDifferences(dstImage, first), 0);
}

// Every handler records its id and keeps the photo's shape, and slider events cycle through three
// photo-sized buffers (base, result, the result being computed) instead of allocating; the base
// and the result share a buffer right after a switch of stage.
TEST_F(Protocol, HandlersKeepTheShapeAndReuseThreeBuffers) {
  std::set<const uchar*> buffers;
  for (int round = 0; round < 2; ++round) {
    for (const StageSlider& slider : kStageTable) {
      *slider.value = slider.maximum / 4 + round;
      for (int again = 0; again < 2; ++again) {
        slider.handler(0, nullptr);
        EXPECT_EQ(lastStage, slider.id);
        EXPECT_EQ(dstImage.type(), CV_8UC3) << slider.label;
        EXPECT_EQ(dstImage.size(), photo.size()) << slider.label;
        EXPECT_NE(nextImage.data, dstImage.data) << slider.label;
        buffers.insert(srcImage.data);
        buffers.insert(dstImage.data);
      }
    }
  }
  EXPECT_LE(buffers.size(), 3u);
  EXPECT_EQ(shown, 2 * 2 * 8);
}

// A cancelled run leaves the last complete result and the chain as they were; the chain lists
// each frozen stage once, then the current stage at its last complete position.
TEST_F(Protocol, CancelledRunsKeepTheLastResultAndTheChain) {
  blurValue = 2;
  onBlur(0, nullptr);
  blurValue = 4;
  onBlur(0, nullptr);
  const cv::Mat blurred4 = dstImage.clone();
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

TEST_F(Protocol, InitialPositionsOfTheCutOffsChangeNothing) {
  onWhiteToZero(0, nullptr);
  EXPECT_EQ(countDifferences(dstImage, photo), 0);
  onBlackToZero(0, nullptr);
  EXPECT_EQ(countDifferences(dstImage, photo), 0);
  onBilateral(0, nullptr);
  EXPECT_EQ(countDifferences(dstImage, photo), 0);
  onBlur(0, nullptr);
  EXPECT_EQ(countDifferences(dstImage, photo), 0);
}
