// Recipes: text round trip over every slider, refusal of bad steps, and the headless chain
// against the same moves made one by one.
#include <gtest/gtest.h>

#include "pipeline/recipe.hpp"
#include "tests/stage_moves.hpp"
#include "tests/test_images.hpp"

TEST(Recipe, EveryStageAtItsEndsSurvivesTheRoundTrip) {
  std::vector<StageStep> chain;
  for (const StageSlider& slider : kStageTable) {
    chain.push_back({slider.id, 0});
    chain.push_back({slider.id, slider.maximum});
  }
  const std::string text = formatRecipe(chain);
  EXPECT_EQ(text.substr(0, 25), "Bilateral 0; Bilateral 20");
  std::vector<StageStep> parsed;
  std::string error;
  ASSERT_TRUE(parseRecipe(text, parsed, error)) << error;
  EXPECT_EQ(parsed, chain);
  ASSERT_TRUE(parseRecipe(" Blur 4 ;", parsed, error)) << error;
  EXPECT_EQ(parsed, (std::vector<StageStep>{{kBlurStage, 4}}));
}

TEST(Recipe, BadStepsAreRefusedByName) {
  const char* const bad[][2] = {{"Bilateral 3; Sharpen 2", "Sharpen 2"},
                                {"Blur 31", "Blur 31"},
                                {"Blur -1", "Blur -1"},
                                {"Blur 4x", "Blur 4x"},
                                {"Blur", "Blur"},
                                {"Blur 2;; Blur 3", "empty step"},
                                {"", "empty step"},
                                {"blur 4", "blur 4"},
                                {"Black->0 256", "Black->0 256"},
                                {"Blur 99999999999999999999", "Blur 9999"}};
  for (const auto& [text, named] : bad) {
    std::vector<StageStep> chain;
    std::string error;
    EXPECT_FALSE(parseRecipe(text, chain, error)) << text;
    EXPECT_NE(error.find(named), std::string::npos) << text << ": " << error;
  }
}

TEST(Recipe, HeadlessChainEqualsTheMovesMadeInTurn) {
  const cv::Mat photo = makePhoto(37, 53);
  // Moves as a user makes them: re-runs of one slider count once, at the last position.
  const std::vector<std::vector<StageStep>> sessions = {
      {{kBilateralStage, 5}, {kBilateralStage, 3}, {kStretchCStage, 80}, {kBlurStage, 4}},
      {{kWhiteToZeroStage, 200}, {kBlackToZeroStage, 30}, {kSmoothStage, 60}},
      {{kStretchPStage, 40}, {kBlurStage, 9}, {kStretchPStage, 10}, {kStretchPStage, 70}},
  };
  for (const auto& moves : sessions) {
    Pipeline windowed(photo.clone());
    makeMoves(windowed, moves);
    std::vector<StageStep> parsed;
    std::string error;
    ASSERT_TRUE(parseRecipe(formatRecipe(windowed.chain()), parsed, error)) << error;
    EXPECT_LE(parsed.size(), moves.size());
    EXPECT_EQ(countDifferences(windowed.result(), applyRecipe(photo.clone(), parsed)), 0);
  }
  EXPECT_EQ(countDifferences(applyRecipe(photo, {}), photo), 0);
}
