// Everything no other family claims (JPEG, PNG, TIFF, WebP, BMP, the portable formats ...) through
// the image library's reader, which turns JPEGs upright by their EXIF orientation; metadata
// through exiv2. A CMYK JPEG or TIFF with its own profile is converted through that profile.
#include <QImageReader>
#include <QString>
#include <fstream>
#include <opencv2/imgcodecs.hpp>

#include "photo/colour.hpp"
#include "photo/decoders.hpp"

namespace {

std::vector<unsigned char> readWhole(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// The CMYK samples of a JPEG or TIFF in sRGB through `profile`, upright; empty when the file holds
// no CMYK samples these readers take.
cv::Mat cmykThroughProfile(const std::string& path, const Profile& profile, int orientation) {
  const std::vector<unsigned char> bytes = readWhole(path);
  cv::Mat cmyk;
  bool inverted = false;
  if (!readCmykJpeg(bytes, cmyk, inverted) && !readCmykTiff(bytes, cmyk)) return {};
  const cv::Mat bgr = cmykToSrgb(cmyk, profile, inverted);
  return bgr.empty() ? bgr : orientUpright(bgr, orientation);
}

}  // namespace

bool isAnyImage(const std::string&, const Signature&) {
  return true;
}

bool librarySize(const std::string& path, cv::Size& size) {
  const QSize header = QImageReader(QString::fromLocal8Bit(path.c_str())).size();
  size = header.isValid() ? cv::Size(header.width(), header.height()) : cv::Size();
  return true;
}

bool decodeWithLibrary(const std::string& path, DecodedPhoto& photo) {
  int orientation = 1;
  photo.metadata = readMetadata(path, &orientation);
  if (profileSpace(photo.metadata.icc) == ProfileSpace::kCmyk) {
    photo.image = cmykThroughProfile(path, photo.metadata.icc, orientation);
    if (!photo.image.empty()) {
      photo.metadata.icc = srgbProfile();
      return true;
    }
  }
  photo.image = cv::imread(path, cv::IMREAD_COLOR);
  return !photo.image.empty();
}
