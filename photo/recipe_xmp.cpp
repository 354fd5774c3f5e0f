// Recipe metadata through exiv2.
#include "photo/recipe_xmp.hpp"

#include <memory>

#include "photo/save.hpp"

namespace {

constexpr const char* kRecipeKey = "Xmp.lumivet.Recipe";

void registerNamespace() {
  static const bool registered = [] {
    Exiv2::XmpProperties::registerNs("https://lumivet.org/ns/recipe/1.0/", "lumivet");
    return true;
  }();
  (void)registered;
}

}  // namespace

void setRecipe(Exiv2::XmpData& xmp, const std::string& recipe) {
  registerNamespace();
  auto old = xmp.findKey(Exiv2::XmpKey(kRecipeKey));
  if (old != xmp.end()) xmp.erase(old);
  if (!recipe.empty()) xmp[kRecipeKey] = recipe;
  xmp["Xmp.xmp.CreatorTool"] = std::string("Lumivet Tool ") + LUMIVET_VERSION;
}

bool encodeResult(const cv::Mat& result, PhotoMetadata metadata, const std::string& recipe,
                  std::vector<unsigned char>& bytes, std::string& error) {
  if (!encodeJpeg(result, bytes, error)) return false;
  setRecipe(metadata.xmp, recipe);
  writeMetadata(metadata, bytes);
  return true;
}

bool readRecipe(const std::string& path, std::string& recipe) {
  try {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    registerNamespace();
    const std::unique_ptr<Exiv2::Image> image(Exiv2::ImageFactory::open(path).release());
    image->readMetadata();
    const Exiv2::XmpData& xmp = image->xmpData();
    auto found = xmp.findKey(Exiv2::XmpKey(kRecipeKey));
    if (found == xmp.end()) return false;
    recipe = found->toString();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}
