// Recipe text and headless application through the stage handlers.
#include "pipeline/recipe.hpp"

#include <cerrno>
#include <cstdlib>

#include "filters/fpmode.hpp"
#include "pipeline/pipeline.hpp"

namespace {

const StageSlider* sliderByLabel(const std::string& label) {
  for (const StageSlider& slider : kStageTable)
    if (label == slider.label) return &slider;
  return nullptr;
}

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

}  // namespace

std::string formatRecipe(const std::vector<StageStep>& chain) {
  std::string text;
  for (const StageStep& step : chain) {
    const StageSlider* slider = sliderById(step.id);
    if (!slider) continue;
    if (!text.empty()) text += "; ";
    text += std::string(slider->label) + " " + std::to_string(step.value);
  }
  return text;
}

bool parseRecipe(const std::string& text, std::vector<StageStep>& chain, std::string& error) {
  chain.clear();
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find(';', start);
    const bool last = end == std::string::npos;
    if (last) end = text.size();
    const std::string step = trimmed(text.substr(start, end - start));
    start = end + 1;
    if (step.empty()) {
      if (last && !chain.empty()) break;  // a trailing ";"
      error = "empty step in recipe \"" + text + "\"";
      return false;
    }
    // Labels hold no spaces, so the position follows the last space.
    const auto space = step.find_last_of(" \t");
    if (space == std::string::npos) {
      error = "step \"" + step + "\" has no slider position";
      return false;
    }
    const std::string label = trimmed(step.substr(0, space));
    const std::string number = step.substr(space + 1);
    const StageSlider* slider = sliderByLabel(label);
    if (!slider) {
      error = "step \"" + step + "\": unknown stage \"" + label + "\"";
      return false;
    }
    char* rest = nullptr;
    errno = 0;
    const long value = std::strtol(number.c_str(), &rest, 10);
    if (number.empty() || *rest != '\0' || errno != 0 || number[0] == '+' || value < 0 ||
        value > slider->maximum) {
      error = "step \"" + step + "\": position must be a whole number from 0 to " +
              std::to_string(slider->maximum);
      return false;
    }
    chain.push_back({slider->id, static_cast<int>(value)});
    if (last) break;
  }
  return true;
}

cv::Mat applyRecipe(cv::Mat photo, const std::vector<StageStep>& chain, cv::RNG* rng) {
  Pipeline pipeline(std::move(photo), 1.0, rng);
  const DenormalsFlushed flushed;  // as the tool runs every slider event
  for (const StageStep& step : chain) pipeline.move(*sliderById(step.id), step.value);
  return pipeline.result();
}
