// The batch mode: the recipe is checked first, then the photos are done one after another, each
// stage using every core, so that memory stays bounded by one photo.
#include "session/batch.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <new>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "photo/load.hpp"
#include "photo/metadata.hpp"
#include "photo/output_name.hpp"
#include "photo/recipe_xmp.hpp"
#include "photo/save.hpp"
#include "pipeline/recipe.hpp"
#include "pipeline/stages.hpp"

namespace {

std::string fileName(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

// Same file, by identity where both exist, by normalised path otherwise.
std::string canonical(const std::string& path) {
  std::error_code error;
  const auto resolved = std::filesystem::weakly_canonical(path, error);
  return error ? path : resolved.string();
}

// The time since `start`, as "1.2 s".
std::string secondsSince(std::chrono::steady_clock::time_point start) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

}  // namespace

int runBatch(int argc, char** args) {
  const std::string option = args[0];
  if (argc < 3) {
    std::cerr << "lumivet-tool: " << option << " needs a "
              << (option == "--apply" ? "recipe" : "file") << " and at least one photo\n";
    return 2;
  }
  std::string recipeText = args[1];
  if (option == "--apply-from" && !readRecipe(args[1], recipeText)) {
    std::cerr << "lumivet-tool: \"" << args[1] << "\" holds no recipe\n";
    return 2;
  }
  std::vector<StageStep> chain;
  std::string error;
  if (!parseRecipe(recipeText, chain, error)) {
    std::cerr << "lumivet-tool: bad recipe: " << error << '\n';
    return 2;
  }
  const std::string recipe = formatRecipe(chain);

  std::set<std::string> inputs;
  for (int i = 2; i < argc; ++i) inputs.insert(canonical(args[i]));
  // Results saved so far, each with the photo it came from: a later photo with the same result
  // name (a camera's IMG_0001.CR2 beside IMG_0001.JPG) must not replace it.
  std::map<std::string, std::string> savedFrom;

  const bool terminal = ::isatty(STDERR_FILENO);
  const int total = argc - 2;
  int saved = 0, unreadable = 0, unsaved = 0;
  const auto batchStart = std::chrono::steady_clock::now();
  for (int i = 2; i < argc; ++i) {
    const std::string path = args[i];
    const auto start = std::chrono::steady_clock::now();
    const std::string target = outputPathFor(path);
    std::string outcome;
    const auto earlier = savedFrom.find(canonical(target));
    if (inputs.count(canonical(target))) {
      outcome = "not saved: " + fileName(target) + " is one of the photos";
      ++unsaved;
    } else if (earlier != savedFrom.end()) {
      outcome = "not saved: " + fileName(target) + " is already the result of " + earlier->second;
      ++unsaved;
    } else {
      LoadedPhoto photo = loadPhoto(path, availableMemory());
      if (photo.image.empty()) {
        outcome = photo.error + (photo.why.empty() ? "" : " (" + photo.why + ")");
        ++unreadable;
      } else {
        std::vector<unsigned char> bytes;
        try {
          const cv::Mat result = applyRecipe(photo.image, chain);
          photo.image.release();
          if (!encodeResult(result, std::move(photo.metadata), recipe, bytes, error)) bytes.clear();
        } catch (const cv::Exception& e) {
          error = e.msg;
        } catch (const std::bad_alloc&) {
          error = "not enough memory";
        }
        if (!bytes.empty() && writeFileAtomically(target, bytes, error)) {
          outcome = "saved " + fileName(target) + ", " + secondsSince(start);
          savedFrom[canonical(target)] = fileName(path);
          ++saved;
        } else {
          outcome = "not saved: " + error;
          ++unsaved;
        }
      }
    }
    const std::string line =
        std::to_string(i - 1) + "/" + std::to_string(total) + " " + fileName(path) + ": " + outcome;
    if (terminal)
      std::cerr << "\r\033[K" << line << (i + 1 == argc ? "\n" : "") << std::flush;
    else
      std::cerr << line << '\n';
  }
  std::cerr << saved << " of " << total << " saved, " << unreadable << " unreadable, " << unsaved
            << " not saved, " << secondsSince(batchStart) << '\n';
  if (unsaved) return 2;
  return unreadable ? 1 : 0;
}
