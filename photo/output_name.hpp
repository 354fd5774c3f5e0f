// Where the result of a run is saved: beside the input, named after it.
#pragma once

#include <string>

// The output path for an input path: same folder, the file name without its extension (the part
// from the last "." of the file name; leading dots do not start an extension), then "_.jpg".
// "/p/cat.png" gives "/p/cat_.jpg", "/p/pics.old/cat.png" gives "/p/pics.old/cat_.jpg".
std::string outputPathFor(const std::string& inputPath);
