// Carries a photo's EXIF, IPTC and XMP metadata over to the saved JPEG.
#pragma once

#include <string>
#include <vector>

// Copies the metadata of the file at `sourcePath` into the encoded JPEG `jpeg`. The orientation is
// reset to top-left, because loading already turned the pixels upright, and embedded thumbnails
// are dropped, since they show the unfiltered photo. Returns false and leaves `jpeg` untouched when
// the source has no metadata or anything about it fails: metadata never stops a save.
bool copyMetadata(const std::string& sourcePath, std::vector<unsigned char>& jpeg);
