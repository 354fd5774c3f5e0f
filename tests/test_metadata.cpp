// Metadata carried from the input photo into the saved JPEG.
#include <gtest/gtest.h>
#include <unistd.h>

#include <exiv2/exiv2.hpp>
#include <fstream>
#include <memory>
#include <opencv2/imgcodecs.hpp>

#include "app/metadata.hpp"
#include "tests/test_images.hpp"

namespace {

template <typename AutoPointer>
auto owned(AutoPointer pointer) {
  return std::unique_ptr<typename AutoPointer::element_type>(pointer.release());
}

std::vector<unsigned char> jpegOf(const cv::Mat& image) {
  std::vector<unsigned char> bytes;
  cv::imencode(".jpg", image, bytes);
  return bytes;
}

// A camera-like JPEG file: date, camera, GPS, copyright, orientation 6 and a thumbnail.
std::string writeCameraJpeg(const std::string& path) {
  std::vector<unsigned char> bytes = jpegOf(makePhoto(48, 64));
  auto image = owned(Exiv2::ImageFactory::open(bytes.data(), long(bytes.size())));
  Exiv2::ExifData exif;
  exif["Exif.Photo.DateTimeOriginal"] = "2026:05:04 10:11:12";
  exif["Exif.Image.Make"] = "TestMaker";
  exif["Exif.Image.Model"] = "Model 7";
  exif["Exif.Image.Orientation"] = uint16_t(6);
  exif["Exif.GPSInfo.GPSLatitudeRef"] = "N";
  const std::vector<unsigned char> thumb = jpegOf(makePhoto(8, 8));
  Exiv2::ExifThumb(exif).setJpegThumbnail(thumb.data(), long(thumb.size()));
  Exiv2::IptcData iptc;
  iptc["Iptc.Application2.Copyright"] = "Someone";
  Exiv2::XmpData xmp;
  xmp["Xmp.dc.creator"] = "Someone";
  xmp["Xmp.tiff.Orientation"] = "6";
  image->setExifData(exif);
  image->setIptcData(iptc);
  image->setXmpData(xmp);
  image->writeMetadata();
  Exiv2::BasicIo& io = image->io();
  io.open();
  std::vector<unsigned char> result(io.size());
  io.read(result.data(), long(result.size()));
  io.close();
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(result.data()), std::streamsize(result.size()));
  return path;
}

}  // namespace

TEST(Metadata, CameraFieldsAreKeptOrientationResetThumbnailDropped) {
  const std::string source =
      writeCameraJpeg("/tmp/lumivet-meta-" + std::to_string(getpid()) + ".jpg");
  std::vector<unsigned char> out = jpegOf(makePhoto(64, 48));
  ASSERT_TRUE(copyMetadata(source, out));
  std::remove(source.c_str());

  // The pixels are untouched: the result still decodes to the encoded image.
  const cv::Mat decoded = cv::imdecode(out, cv::IMREAD_UNCHANGED | cv::IMREAD_IGNORE_ORIENTATION);
  ASSERT_EQ(decoded.size(), cv::Size(48, 64));

  auto image = owned(Exiv2::ImageFactory::open(out.data(), long(out.size())));
  image->readMetadata();
  Exiv2::ExifData& exif = image->exifData();
  EXPECT_EQ(exif["Exif.Photo.DateTimeOriginal"].toString(), "2026:05:04 10:11:12");
  EXPECT_EQ(exif["Exif.Image.Make"].toString(), "TestMaker");
  EXPECT_EQ(exif["Exif.Image.Model"].toString(), "Model 7");
  EXPECT_EQ(exif["Exif.GPSInfo.GPSLatitudeRef"].toString(), "N");
  EXPECT_EQ(exif["Exif.Image.Orientation"].toLong(), 1);
  EXPECT_EQ(Exiv2::ExifThumbC(exif).copy().size_, 0);
  EXPECT_EQ(image->iptcData()["Iptc.Application2.Copyright"].toString(), "Someone");
  EXPECT_EQ(image->xmpData()["Xmp.dc.creator"].toString(), "Someone");
  EXPECT_EQ(image->xmpData()["Xmp.tiff.Orientation"].toString(), "1");
}

TEST(Metadata, WithoutMetadataOrOnFailureTheImageIsUntouched) {
  const std::string png = "/tmp/lumivet-meta-" + std::to_string(getpid()) + ".png";
  ASSERT_TRUE(cv::imwrite(png, makePhoto(20, 30)));
  const std::vector<unsigned char> original = jpegOf(makePhoto(20, 30));
  std::vector<unsigned char> out = original;
  EXPECT_FALSE(copyMetadata(png, out));
  EXPECT_EQ(out, original);
  std::remove(png.c_str());

  EXPECT_FALSE(copyMetadata("/nonexistent/photo.jpg", out));
  EXPECT_EQ(out, original);

  // A target that is not a JPEG at all: nothing is written into it.
  const std::string source =
      writeCameraJpeg("/tmp/lumivet-meta2-" + std::to_string(getpid()) + ".jpg");
  std::vector<unsigned char> garbage(100, 7);
  EXPECT_FALSE(copyMetadata(source, garbage));
  EXPECT_EQ(garbage, std::vector<unsigned char>(100, 7));
  std::remove(source.c_str());
}
