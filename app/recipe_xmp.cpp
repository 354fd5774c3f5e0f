// Recipe metadata through exiv2.
#include "app/recipe_xmp.hpp"

#include <exiv2/exiv2.hpp>
#include <memory>

namespace {

constexpr const char* kRecipeKey = "Xmp.lumivet.Recipe";

void registerNamespace() {
  static const bool registered = [] {
    Exiv2::XmpProperties::registerNs("https://lumivet.org/ns/recipe/1.0/", "lumivet");
    return true;
  }();
  (void)registered;
}

template <typename AutoPointer>
auto owned(AutoPointer pointer) {
  return std::unique_ptr<typename AutoPointer::element_type>(pointer.release());
}

}  // namespace

bool addRecipe(std::vector<unsigned char>& jpeg, const std::string& recipe) {
  try {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    registerNamespace();
    auto image = owned(Exiv2::ImageFactory::open(jpeg.data(), static_cast<long>(jpeg.size())));
    image->readMetadata();
    Exiv2::XmpData xmp = image->xmpData();
    auto old = xmp.findKey(Exiv2::XmpKey(kRecipeKey));
    if (old != xmp.end()) xmp.erase(old);
    if (!recipe.empty()) xmp[kRecipeKey] = recipe;
    xmp["Xmp.xmp.CreatorTool"] = std::string("Lumivet Tool ") + LUMIVET_VERSION;
    image->setXmpData(xmp);
    image->writeMetadata();
    Exiv2::BasicIo& io = image->io();
    if (io.open() != 0) return false;
    std::vector<unsigned char> result(io.size());
    io.seek(0, Exiv2::BasicIo::beg);
    const long read = io.read(result.data(), static_cast<long>(result.size()));
    io.close();
    if (read != static_cast<long>(result.size()) || result.empty()) return false;
    jpeg.swap(result);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool readRecipe(const std::string& path, std::string& recipe) {
  try {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    registerNamespace();
    auto image = owned(Exiv2::ImageFactory::open(path));
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
