// Metadata carried from the input photo into the saved JPEG.
#include <gtest/gtest.h>
#include <unistd.h>

#include <exiv2/exiv2.hpp>
#include <opencv2/imgcodecs.hpp>

#include "app/metadata.hpp"
#include "tests/test_images.hpp"

namespace {

std::vector<unsigned char> jpegOf(const cv::Mat& image) {
  std::vector<unsigned char> bytes;
  cv::imencode(".jpg", image, bytes);
  return bytes;
}

std::string tempPath(const char* name) {
  return "/tmp/lumivet-" + std::to_string(getpid()) + "-" + name;
}

// A camera-like JPEG file: date, GPS, copyright, orientation 6 and a thumbnail.
std::string writeCameraJpeg() {
  const std::string path = tempPath("camera.jpg");
  cv::imwrite(path, makePhoto(48, 64));
  auto image = Exiv2::ImageFactory::open(path);
  Exiv2::ExifData exif;
  exif["Exif.Photo.DateTimeOriginal"] = "2026:05:04 10:11:12";
  exif["Exif.Image.Orientation"] = uint16_t(6);
  exif["Exif.GPSInfo.GPSLatitudeRef"] = "N";
  const std::vector<unsigned char> thumb = jpegOf(makePhoto(8, 8));
  Exiv2::ExifThumb(exif).setJpegThumbnail(thumb.data(), long(thumb.size()));
  image->setExifData(exif);
  image->iptcData()["Iptc.Application2.Copyright"] = "Someone";
  image->xmpData()["Xmp.dc.creator"] = "Someone";
  image->xmpData()["Xmp.tiff.Orientation"] = "6";
  image->writeMetadata();
  return path;
}

}  // namespace

TEST(Metadata, CameraFieldsAreKeptOrientationResetThumbnailDropped) {
  const std::string source = writeCameraJpeg();
  std::vector<unsigned char> out = jpegOf(makePhoto(64, 48));
  ASSERT_TRUE(copyMetadata(source, out));
  std::remove(source.c_str());
  // The pixels are untouched: the result still decodes to the encoded image.
  EXPECT_EQ(cv::imdecode(out, cv::IMREAD_UNCHANGED | cv::IMREAD_IGNORE_ORIENTATION).size(),
            cv::Size(48, 64));

  auto image = Exiv2::ImageFactory::open(out.data(), long(out.size()));
  image->readMetadata();
  Exiv2::ExifData& exif = image->exifData();
  EXPECT_EQ(exif["Exif.Photo.DateTimeOriginal"].toString(), "2026:05:04 10:11:12");
  EXPECT_EQ(exif["Exif.GPSInfo.GPSLatitudeRef"].toString(), "N");
  EXPECT_EQ(exif["Exif.Image.Orientation"].toLong(), 1);
  EXPECT_EQ(Exiv2::ExifThumbC(exif).copy().size_, 0);
  EXPECT_EQ(image->iptcData()["Iptc.Application2.Copyright"].toString(), "Someone");
  EXPECT_EQ(image->xmpData()["Xmp.dc.creator"].toString(), "Someone");
  EXPECT_EQ(image->xmpData()["Xmp.tiff.Orientation"].toString(), "1");
}

TEST(Metadata, WithoutMetadataOrOnFailureTheImageIsUntouched) {
  const std::string png = tempPath("plain.png"), source = writeCameraJpeg();
  ASSERT_TRUE(cv::imwrite(png, makePhoto(20, 30)));
  const std::vector<unsigned char> original = jpegOf(makePhoto(20, 30)), garbage(100, 7);
  // A source without metadata, a missing source, and a target that is not a JPEG at all.
  const struct {
    std::string source;
    std::vector<unsigned char> target;
  } cases[] = {{png, original}, {"/nonexistent/photo.jpg", original}, {source, garbage}};
  for (const auto& [from, target] : cases) {
    std::vector<unsigned char> out = target;
    EXPECT_FALSE(copyMetadata(from, out)) << from;
    EXPECT_EQ(out, target) << from;
  }
  std::remove(png.c_str());
  std::remove(source.c_str());
}
