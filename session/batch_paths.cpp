// Photo lists and output places.
#include "session/batch_paths.hpp"

#include <filesystem>

#include "photo/output_name.hpp"

void readPhotoList(std::istream& in, bool nul, std::vector<std::string>& paths) {
  std::string path;
  while (std::getline(in, path, nul ? '\0' : '\n')) {
    if (!path.empty()) paths.push_back(path);
  }
}

bool placeUnderCurrent(const std::string& path, const std::string& cwd,
                       const std::string& logicalCwd, std::string& relative, std::string& error) {
  namespace fs = std::filesystem;
  const fs::path given(path);
  for (const fs::path& step : given) {
    if (step == "..") {
      error = "it is named with \"..\"";
      return false;
    }
  }
  fs::path normal = given.lexically_normal();
  if (normal.is_absolute()) {
    fs::path inside;
    for (const std::string& folder : {cwd, logicalCwd}) {
      if (folder.empty()) continue;
      inside = normal.lexically_relative(fs::path(folder).lexically_normal());
      if (!inside.empty() && *inside.begin() != ".." && inside != ".") break;
      inside.clear();
    }
    if (inside.empty()) {
      error = "it is outside the current folder";
      return false;
    }
    normal = inside;
  }
  relative = normal.string();
  if (relative.empty() || relative == "." || relative.back() == '/') {
    error = "it names a folder";
    return false;
  }
  return true;
}

std::string resultUnder(const std::string& outputDir, const std::string& relative) {
  return (std::filesystem::path(outputDir) / outputPathFor(relative)).string();
}
