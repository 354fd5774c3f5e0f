// Recipes: the chain of stage steps that made a result, written the way the sliders read
// ("Bilateral 3; C.StretchC 80; Blur 4"), and applied again without any window.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "pipeline/stages.hpp"

// Writes `chain` as "Label position" steps joined by "; ". An empty chain gives "".
std::string formatRecipe(const std::vector<StageStep>& chain);

// Reads a recipe written by formatRecipe (spaces around steps and an empty last step are
// accepted). On failure returns false and `error` names the bad step: an unknown stage, a
// position that is not a whole number or is outside the slider's range.
bool parseRecipe(const std::string& text, std::vector<StageStep>& chain, std::string& error);

// Runs `chain` on `photo` through the stage protocol, in order, as the same moves would in the
// windows, and returns the result (the photo itself for an empty chain). Noise draws from `rng`,
// or when it is null from the calling thread's default generator. The photo is never written; a
// photo handed over with its last reference lends its buffer to a later step's result.
cv::Mat applyRecipe(cv::Mat photo, const std::vector<StageStep>& chain, cv::RNG* rng = nullptr);
