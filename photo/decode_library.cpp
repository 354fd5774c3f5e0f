// Everything no other family claims (JPEG, PNG, TIFF, WebP, BMP, the portable formats ...) through
// the image library's reader, which turns JPEGs upright by their EXIF orientation; metadata
// through exiv2. A CMYK JPEG or TIFF with its own profile is converted through that profile.
#include <QImageReader>
#include <QString>
#include <cctype>
#include <cstring>
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

bool isLibraryImage(const std::string&, const Signature& head) {
  const auto at = [&](std::size_t offset, const std::string& bytes) {
    return head.size() >= offset + bytes.size() &&
           std::memcmp(head.data() + offset, bytes.data(), bytes.size()) == 0;
  };
  using namespace std::string_literals;
  static const std::string kStarts[] = {
      "\xFF\xD8\xFF"s,                             // JPEG
      "\x89PNG\r\n\x1A\n"s,                         // PNG
      "II*\0"s, "MM\0*"s, "II+\0"s, "MM\0+"s,        // TIFF, BigTIFF
      "BM"s,                                        // BMP, DIB
      "\0\0\0\x0CjP  \r\n\x87\n"s, "\xFF\x4F\xFF\x51"s,  // JPEG 2000 file, codestream
      "\x59\xA6\x6A\x95"s,                          // Sun raster
      "\x76\x2F\x31\x01"s,                          // OpenEXR
      "#?RADIANCE"s, "#?RGBE"s,                     // Radiance HDR
  };
  for (const std::string& start : kStarts) {
    if (at(0, start)) return true;
  }
  if (at(0, "RIFF") && at(8, "WEBP")) return true;
  // PBM, PGM, PPM, PAM (P1 to P7) and PFM (PF, Pf), each followed by white space.
  return head.size() >= 3 && head[0] == 'P' &&
         ((head[1] >= '1' && head[1] <= '7') || head[1] == 'F' || head[1] == 'f') &&
         std::isspace(head[2]);
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
