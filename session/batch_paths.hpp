// The batch's list of photos and where their results go: paths read from a file or standard
// input, and each photo's place under an output folder.
#pragma once

#include <istream>
#include <string>
#include <vector>

// Appends the paths of `in` to `paths`: one a line, or separated by NUL bytes with `nul` (as
// `find -print0` writes them). Empty entries are left out; nothing else is changed, so names may
// hold spaces, and with `nul` newlines.
void readPhotoList(std::istream& in, bool nul, std::vector<std::string>& paths);

// The photo at `path` relative to the current folder `cwd` (absolute, as getcwd gives it), with
// "." steps and doubled slashes removed: "scans/1970/a.tif" and "CWD/scans/./1970/a.tif" give
// "scans/1970/a.tif". `logicalCwd` is the same folder as the shell names it ($PWD, which may go
// through a symbolic link; empty if unknown), so that `find "$PWD"` works. Returns false and says
// why in `error` for a path with a ".." step or outside the current folder.
bool placeUnderCurrent(const std::string& path, const std::string& cwd,
                       const std::string& logicalCwd, std::string& relative, std::string& error);

// Where the result of the photo at `relative` (as placeUnderCurrent gives it) goes under
// `outputDir`: "scans/1970/a.tif" under "out" is "out/scans/1970/a_.jpg".
std::string resultUnder(const std::string& outputDir, const std::string& relative);
