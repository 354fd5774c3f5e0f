// The stage protocol: the stage table, chaining, re-running and cancelling, driven through the
// handlers; the library-backed tone cut-offs.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>
#include <set>
#include <string>
#include <vector>

#include "stages/stages.hpp"
#include "tests/test_images.hpp"

namespace {

// The slider positions the tool starts with, read before any test resets the stages.
const std::vector<int> kStartValues = [] {
  std::vector<int> values;
  for (const StageSlider& slider : kStageTable) values.push_back(*slider.value);
  return values;
}();

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
  // Black->0 comes before White->0 but has the higher id; only White->0 starts at its maximum,
  // both at start-up and after a reset.
  const struct {
    std::string label;
    int maximum, id, start;
  } sliders[] = {{"Bilateral", 20, 1, 0},   {"Blur", 30, 2, 0},       {"C.StretchC", 100, 3, 0},
                 {"C.StretchP", 100, 4, 0}, {"C.Smooth", 100, 5, 0},  {"G.noise", 100, 6, 0},
                 {"Black->0", 255, 8, 0},   {"White->0", 255, 7, 255}};
  resetStages();
  std::set<int*> values;
  for (std::size_t i = 0; i < kStageTable.size(); ++i) {
    const StageSlider& slider = kStageTable[i];
    EXPECT_EQ(slider.label, sliders[i].label);
    EXPECT_EQ(slider.maximum, sliders[i].maximum) << slider.label;
    EXPECT_EQ(slider.id, sliders[i].id) << slider.label;
    EXPECT_EQ(kStartValues[i], sliders[i].start) << slider.label;
    EXPECT_EQ(*slider.value, sliders[i].start) << slider.label;
    values.insert(slider.value);
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

// Every handler records its id and shows its result, and slider events cycle through three
// photo-sized buffers (base, result, the result being computed) instead of allocating; the base
// and the result share a buffer right after a switch of stage.
TEST_F(Protocol, HandlersRecordTheirIdAndReuseThreeBuffers) {
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
