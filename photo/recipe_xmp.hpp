// The recipe in the saved file: an XMP property of the tool's own namespace, and the tool's name
// and version as the creator tool.
#pragma once

#include <exiv2/exiv2.hpp>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "photo/identity.hpp"
#include "photo/metadata.hpp"

// Readies exiv2's XMP toolkit, which is not thread-safe by itself, for photos read and saved on
// several threads at once: each of its calls then holds one lock. Called before any XMP is read
// or written (the toolkit takes the lock at its first use only).
void prepareXmpForThreads();

// Sets Xmp.lumivet.Recipe to `recipe` (removes it when `recipe` is empty: the photo was saved
// unchanged) and Xmp.xmp.CreatorTool to "Lumivet Tool VERSION", keeping the other properties.
// With a `source`, records the photo the result is made from (Xmp.lumivet.Source, SourceSize,
// SourceSHA256); without one, removes any such record, which a photo that is itself a result
// carries of its own photo.
void setRecipe(Exiv2::XmpData& xmp, const std::string& recipe, const PhotoSource* source = nullptr);

// The bytes of a saved result: `result` as JPEG with the photo's `metadata`, the `recipe` that
// made it and, when given, the `source` photo. On failure returns false and says why in `error`;
// metadata that cannot be written never stops a save.
bool encodeResult(const cv::Mat& result, PhotoMetadata metadata, const std::string& recipe,
                  std::vector<unsigned char>& bytes, std::string& error,
                  const PhotoSource* source = nullptr);

// The recipe recorded in the file at `path`, and into `source` (when given) the photo it records
// having been made from (left empty when it records none). Returns false when the file cannot be
// read or holds no recipe.
bool readRecipe(const std::string& path, std::string& recipe, PhotoSource* source = nullptr);
