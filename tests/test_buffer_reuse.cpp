// Slider events reuse the two photo-sized buffers: a stage writes into the result buffer it
// wrote last time, and a switch of stage trades the base and result buffers instead of copying.
#include <gtest/gtest.h>

#include <utility>

#include "stages/stages.hpp"
#include "tests/test_images.hpp"

TEST(BufferReuse, EveryStageWritesIntoTheBufferOfTheLastResult) {
  resetStages();
  setDisplayFunction([](const cv::Mat&) {});
  srcImage = makePhoto(41, 67);
  const uchar* const first = srcImage.data;
  kStageTable[0].handler(0, nullptr);
  const uchar* const second = dstImage.data;
  ASSERT_NE(second, first);

  // Walk the chain twice with positions that change samples, so that each stage runs once as a
  // switch and then again from the same base.
  const uchar* base = first;
  const uchar* result = second;
  for (int round = 0; round < 2; ++round) {
    for (const StageSlider& slider : kStageTable) {
      *slider.value = slider.maximum / 4 + round;
      const bool switching = lastStage != slider.id;
      slider.handler(0, nullptr);
      if (switching) std::swap(base, result);
      EXPECT_EQ(srcImage.data, base) << slider.label;
      EXPECT_EQ(dstImage.data, result) << slider.label;
      slider.handler(0, nullptr);
      EXPECT_EQ(srcImage.data, base) << slider.label << " again";
      EXPECT_EQ(dstImage.data, result) << slider.label << " again";
    }
  }
  setDisplayFunction(nullptr);
  resetStages();
}
