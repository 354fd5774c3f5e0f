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

// Every handler records its id and keeps the photo's shape, and slider events reuse the two
// photo-sized buffers: a stage writes into the buffer of its last result, and a switch of stage
// trades the base and result buffers instead of copying or allocating.
TEST_F(Protocol, HandlersKeepTheShapeAndReuseTheTwoBuffers) {
  kStageTable[0].handler(0, nullptr);
  const uchar* base = srcImage.data;
  const uchar* result = dstImage.data;
  ASSERT_NE(base, result);
  // Twice round the chain at positions that change samples: each stage runs once as a switch and
  // once more from the same base.
  for (int round = 0; round < 2; ++round) {
    for (const StageSlider& slider : kStageTable) {
      *slider.value = slider.maximum / 4 + round;
      if (lastStage != slider.id) std::swap(base, result);
      for (int again = 0; again < 2; ++again) {
        slider.handler(0, nullptr);
        EXPECT_EQ(lastStage, slider.id);
        EXPECT_EQ(dstImage.type(), CV_8UC3) << slider.label;
        EXPECT_EQ(dstImage.size(), photo.size()) << slider.label;
        EXPECT_EQ(srcImage.data, base) << slider.label;
        EXPECT_EQ(dstImage.data, result) << slider.label;
      }
    }
  }
  EXPECT_EQ(shown, 1 + 2 * 2 * 8);
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
