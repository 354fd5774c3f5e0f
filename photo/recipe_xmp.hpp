// The recipe in the saved file: an XMP property of the tool's own namespace, and the tool's name
// and version as the creator tool.
#pragma once

#include <exiv2/exiv2.hpp>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "photo/metadata.hpp"

// Sets Xmp.lumivet.Recipe to `recipe` (removes it when `recipe` is empty: the photo was saved
// unchanged) and Xmp.xmp.CreatorTool to "Lumivet Tool VERSION", keeping the other properties.
void setRecipe(Exiv2::XmpData& xmp, const std::string& recipe);

// The bytes of a saved result: `result` as JPEG with the photo's `metadata` and the `recipe` that
// made it. On failure returns false and says why in `error`; metadata that cannot be written
// never stops a save.
bool encodeResult(const cv::Mat& result, PhotoMetadata metadata, const std::string& recipe,
                  std::vector<unsigned char>& bytes, std::string& error);

// The recipe recorded in the file at `path`. Returns false when the file cannot be read or holds
// no recipe.
bool readRecipe(const std::string& path, std::string& recipe);
