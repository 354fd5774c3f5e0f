// Recipe metadata through exiv2.
#include "photo/recipe_xmp.hpp"

#include <unistd.h>

#include "photo/sandbox.hpp"
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
  // The file is read in the sandboxed decoding helper, like a photo: only its XMP packet comes
  // back.
  const int fd = openRegularFile(path);
  std::string packet;
  const bool read = fd >= 0 && readXmpInSandbox(fd, packet);
  if (fd >= 0) ::close(fd);
  if (!read || packet.empty()) return false;
  try {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    registerNamespace();
    Exiv2::XmpData xmp;
    if (Exiv2::XmpParser::decode(xmp, packet) != 0) return false;
    auto found = xmp.findKey(Exiv2::XmpKey(kRecipeKey));
    if (found == xmp.end()) return false;
    recipe = found->toString();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}
