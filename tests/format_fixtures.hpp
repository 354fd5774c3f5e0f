// Phone and camera photo files made in the tests: HEIC and AVIF through libheif, JPEG XL through
// libjxl, and a small DNG written by hand, each from a BGR image with chosen orientation,
// profile and metadata.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

struct FixtureOptions {
  int orientation = 1;  // EXIF numbering; the container's own way of saying it
  Bytes icc;            // embedded as it is
  Bytes exif;           // a TIFF structure (header and IFDs), see cameraExif
  std::string xmp;      // an XMP packet
  bool lossless = false;
};

// EXIF of a camera: make, model and the date it was taken, and the orientation given.
Bytes cameraExif(int exifOrientation);
// An XMP packet naming a creator.
std::string creatorXmp(const std::string& creator);
// A valid RGB ICC profile that is not sRGB (Adobe RGB-like primaries, gamma 2.2).
Bytes wideGamutProfile();

// Writes `image` (BGR) as HEIC (av1 false) or AVIF (av1 true); false if no encoder is available.
bool writeHeif(const std::string& path, const cv::Mat& image, const FixtureOptions& options,
               bool av1 = false);
// Writes a 10-bit HEIC whose nclx colour says BT.2020 primaries and the PQ curve.
bool writeHdrHeic(const std::string& path, const cv::Mat& image);
// Writes a HEIC whose nclx colour names Display P3 primaries with the sRGB curve, as phones do.
bool writeDisplayP3Heic(const std::string& path, const cv::Mat& image);

// Writes `image` as JPEG XL: lossless, or lossy (XYB). Metadata goes into Exif and "xml " boxes.
bool writeJxl(const std::string& path, const cv::Mat& image, const FixtureOptions& options);
// Recompresses the JPEG file `jpeg` losslessly as JPEG XL, with the JPEG's own metadata.
bool writeJxlFromJpeg(const std::string& path, const Bytes& jpeg);

// Writes a DNG: `image` is made linear and mosaicked through an RGGB colour filter (12 bits),
// with colours defined so that developing it gives `image` back, and a JPEG preview of the image.
// With `unknownCompression` the sensor data is in an encoding no raw developer knows.
bool writeDng(const std::string& path, const cv::Mat& image, const FixtureOptions& options,
              bool unknownCompression = false);

Bytes readBytes(const std::string& path);
void writeBytes(const std::string& path, const Bytes& bytes);
// Mean absolute difference per sample of two BGR images of one size.
double meanDifference(const cv::Mat& a, const cv::Mat& b);
