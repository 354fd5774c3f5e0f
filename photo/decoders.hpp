// The photo decoders: one per format family, chosen by the file's first bytes, never by its name.
// Each gives the same result: an upright 8-bit BGR image with the photo's metadata.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "photo/metadata.hpp"

struct DecodedPhoto {
  cv::Mat image;           // 8-bit BGR, turned upright by the file's own orientation
  PhotoMetadata metadata;  // orientation reset to top-left, the profile the samples are in
  std::string note;        // what the user should know about how it opened; usually empty
};

// The first bytes of a file, as many as a decoder needs to recognise its signature.
using Signature = std::vector<unsigned char>;
inline constexpr std::size_t kSignatureBytes = 256;

struct PhotoDecoder {
  const char* family;
  // Whether the file is of this family. `head` holds its first bytes; TIFF-based raw files need a
  // look at their directories, read from `path`.
  bool (*matches)(const std::string& path, const Signature& head);
  // The photo's size from its header, before any decoding. False when the header cannot be read;
  // true with an empty size when the family's reader cannot tell without decoding.
  bool (*readSize)(const std::string& path, cv::Size& size);
  // Decodes the photo; false when it cannot.
  bool (*decode)(const std::string& path, DecodedPhoto& photo);
};

// The decoder for the file at `path` (a regular file): the first family whose signature matches,
// else LibRaw, which tells raw formats by their content.
const PhotoDecoder& decoderFor(const std::string& path);

// The families, each in its own file.
bool isHeif(const std::string& path, const Signature& head);
bool heifSize(const std::string& path, cv::Size& size);
bool decodeHeif(const std::string& path, DecodedPhoto& photo);

bool isJxl(const std::string& path, const Signature& head);
bool jxlSize(const std::string& path, cv::Size& size);
bool decodeJxl(const std::string& path, DecodedPhoto& photo);

bool isRaw(const std::string& path, const Signature& head);
bool rawSize(const std::string& path, cv::Size& size);
bool decodeRaw(const std::string& path, DecodedPhoto& photo);
// The size of a raw file LibRaw tells by its content, not by the file's size alone (for which any
// file of a listed size would open as noise); false for any other file.
bool rawContentSize(const std::string& path, cv::Size& size);

// The formats of the image library (JPEG, PNG, TIFF, WebP, BMP, JPEG 2000, the portable formats,
// Sun raster, OpenEXR, Radiance), by their signatures.
bool isLibraryImage(const std::string& path, const Signature& head);
bool librarySize(const std::string& path, cv::Size& size);
bool decodeWithLibrary(const std::string& path, DecodedPhoto& photo);
// The CMYK samples of a JPEG (`inverted` when 0 means full ink) or a TIFF in memory; false when the
// file is not one, or not one these readers take.
bool readCmykJpeg(const std::vector<unsigned char>& bytes, cv::Mat& cmyk, bool& inverted);
bool readCmykTiff(const std::vector<unsigned char>& bytes, cv::Mat& cmyk);

bool isAnything(const std::string& path, const Signature& head);

// Turns `image` upright from an EXIF orientation (1 to 8); other values leave it as it is.
cv::Mat orientUpright(const cv::Mat& image, int orientation);
