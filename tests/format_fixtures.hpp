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
  Bytes exif;           // a TIFF structure (header and IFDs), see cameraOptions
  std::string xmp;      // an XMP packet
  bool lossless = false;
};

// A camera's photo: make, model, the date it was taken and the orientation in EXIF, a creator in
// XMP, a valid ICC profile that is not sRGB, and the file's own orientation the same as EXIF's.
FixtureOptions cameraOptions(int orientation);

// phoneRaw: a raw format that LibRaw tells by its header and the signature table does not list
// (an old phone's 10-bit raw), made from the image's green channel.
enum class Kind { heic, avif, jxlLossy, jxlLossless, dng, phoneRaw };
// Writes `image` (BGR) as a photo of that kind with the options.
bool writePhoto(Kind kind, const std::string& path, const cv::Mat& image, FixtureOptions options);

// Writes a HEIC of `bits` (8 or 10) whose colours are given by nclx code (primaries and transfer
// as in ITU-T H.273), as phones do.
bool writeHeicWithColourCode(const std::string& path, const cv::Mat& image, int primaries,
                             int transfer, int bits);

// Writes a DNG: `image` is made linear and mosaicked through an RGGB colour filter (12 bits),
// with colours defined so that developing it gives `image` back, and a JPEG preview of the image.
// With `unknownCompression` the sensor data is in an encoding no raw developer knows.
bool writeDng(const std::string& path, const cv::Mat& image, const FixtureOptions& options,
              bool unknownCompression = false);

Bytes readBytes(const std::string& path);
void writeBytes(const std::string& path, const Bytes& bytes);
// Mean absolute difference per sample of two BGR images of one size.
double meanDifference(const cv::Mat& a, const cv::Mat& b);
