// Everything no other family claims (JPEG, PNG, TIFF, WebP, BMP, the portable formats ...) through
// the image library's reader, which turns JPEGs upright by their EXIF orientation; metadata
// through exiv2.
#include <QImageReader>
#include <QString>
#include <opencv2/imgcodecs.hpp>

#include "photo/decoders.hpp"

bool isAnyImage(const std::string&, const Signature&) {
  return true;
}

bool librarySize(const std::string& path, cv::Size& size) {
  const QSize header = QImageReader(QString::fromLocal8Bit(path.c_str())).size();
  size = header.isValid() ? cv::Size(header.width(), header.height()) : cv::Size();
  return true;
}

bool decodeWithLibrary(const std::string& path, DecodedPhoto& photo) {
  photo.image = cv::imread(path, cv::IMREAD_COLOR);
  if (photo.image.empty()) return false;
  photo.metadata = readMetadata(path);
  return true;
}
