// Recipe metadata through exiv2.
#include "photo/recipe_xmp.hpp"

#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <mutex>

#include "photo/sandbox.hpp"
#include "photo/save.hpp"

namespace {

constexpr const char* kRecipeKey = "Xmp.lumivet.Recipe";
constexpr const char* kSourceKey = "Xmp.lumivet.Source";
constexpr const char* kSourceSizeKey = "Xmp.lumivet.SourceSize";
constexpr const char* kSourceHashKey = "Xmp.lumivet.SourceSHA256";

void registerNamespace() {
  static const bool registered = [] {
    Exiv2::XmpProperties::registerNs("https://lumivet.org/ns/recipe/1.0/", "lumivet");
    return true;
  }();
  (void)registered;
}

}  // namespace

void prepareXmpForThreads() {
  static std::recursive_mutex xmpMutex;
  Exiv2::XmpParser::initialize(
      [](void* data, bool lock) {
        auto* mutex = static_cast<std::recursive_mutex*>(data);
        if (lock) {
          mutex->lock();
        } else {
          mutex->unlock();
        }
      },
      &xmpMutex);
  registerNamespace();
}

void setRecipe(Exiv2::XmpData& xmp, const std::string& recipe, const PhotoSource* source) {
  registerNamespace();
  for (const char* key : {kRecipeKey, kSourceKey, kSourceSizeKey, kSourceHashKey}) {
    auto old = xmp.findKey(Exiv2::XmpKey(key));
    if (old != xmp.end()) xmp.erase(old);
  }
  if (!recipe.empty()) xmp[kRecipeKey] = recipe;
  if (source) {
    xmp[kSourceKey] = source->name;
    xmp[kSourceSizeKey] = std::to_string(source->size);
    xmp[kSourceHashKey] = source->sha256;
  }
  xmp["Xmp.xmp.CreatorTool"] = std::string("Lumivet Tool ") + LUMIVET_VERSION;
}

bool encodeResult(const cv::Mat& result, PhotoMetadata metadata, const std::string& recipe,
                  std::vector<unsigned char>& bytes, std::string& error,
                  const PhotoSource* source) {
  if (!encodeJpeg(result, bytes, error)) return false;
  setRecipe(metadata.xmp, recipe, source);
  writeMetadata(metadata, bytes);
  return true;
}

bool readRecipe(const std::string& path, std::string& recipe, PhotoSource* source) {
  // The file is read in the sandboxed decoding helper, like a photo: only its XMP packet comes
  // back. Only a regular file is opened: a pipe's open would wait for a writer for ever.
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
    if (source) {
      *source = PhotoSource{};
      const auto text = [&xmp](const char* key) {
        auto datum = xmp.findKey(Exiv2::XmpKey(key));
        return datum == xmp.end() ? std::string() : datum->toString();
      };
      source->name = text(kSourceKey);
      source->size = std::strtoull(text(kSourceSizeKey).c_str(), nullptr, 10);
      source->sha256 = text(kSourceHashKey);
    }
    return true;
  } catch (const std::exception&) {
    return false;
  }
}
