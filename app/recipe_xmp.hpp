// The recipe in the saved file: an XMP property of the tool's own namespace, and the tool's name
// and version as the creator tool.
#pragma once

#include <string>
#include <vector>

// Sets Xmp.lumivet.Recipe to `recipe` (removes it when `recipe` is empty: the photo was saved
// unchanged) and Xmp.xmp.CreatorTool to "Lumivet Tool VERSION" in the encoded JPEG `jpeg`, keeping
// its other metadata. Returns false and leaves `jpeg` untouched when that fails.
bool addRecipe(std::vector<unsigned char>& jpeg, const std::string& recipe);

// The recipe recorded in the file at `path`. Returns false when the file cannot be read or holds
// no recipe.
bool readRecipe(const std::string& path, std::string& recipe);
