// Metadata carried from the input photo into the saved JPEG.
#include <gtest/gtest.h>
#include <unistd.h>

#include <exiv2/exiv2.hpp>
#include <fstream>
#include <opencv2/imgcodecs.hpp>

#include "photo/load.hpp"
#include "photo/metadata.hpp"
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
  Exiv2::ExifThumb(exif).setJpegThumbnail(thumb.data(), ExivSize(thumb.size()));
  image->setExifData(exif);
  image->iptcData()["Iptc.Application2.Copyright"] = "Someone";
  image->xmpData()["Xmp.dc.creator"] = "Someone";
  image->xmpData()["Xmp.tiff.Orientation"] = "6";
  image->writeMetadata();
  return path;
}

// A JPEG whose APP1 EXIF block is `tiff` (a TIFF header and IFDs) behind "Exif\0\0".
std::string writeJpegWithExif(const char* name, const std::vector<unsigned char>& tiff) {
  std::vector<unsigned char> out = jpegOf(makePhoto(16, 16));
  const std::size_t length = tiff.size() + 8;
  std::vector<unsigned char> app1 = {
      0xFF, 0xE1, (unsigned char)(length >> 8), (unsigned char)length, 'E', 'x', 'i', 'f', 0, 0};
  app1.insert(app1.end(), tiff.begin(), tiff.end());
  out.insert(out.begin() + 2, app1.begin(), app1.end());  // right after the start marker
  const std::string path = tempPath(name);
  std::ofstream(path, std::ios::binary).write((const char*)out.data(), long(out.size()));
  return path;
}

}  // namespace

TEST(Metadata, CameraFieldsAreKeptOrientationResetThumbnailDropped) {
  const std::string source = writeCameraJpeg();
  const PhotoMetadata metadata = loadPhoto(source, 0).metadata;
  std::remove(source.c_str());  // read at open: the input may be gone by the time of the save
  std::vector<unsigned char> out = jpegOf(makePhoto(64, 48));
  ASSERT_TRUE(writeMetadata(metadata, out));

  auto image = Exiv2::ImageFactory::open(out.data(), ExivSize(out.size()));
  image->readMetadata();
  Exiv2::ExifData& exif = image->exifData();
  EXPECT_EQ(exif["Exif.Photo.DateTimeOriginal"].toString(), "2026:05:04 10:11:12");
  EXPECT_EQ(exif["Exif.GPSInfo.GPSLatitudeRef"].toString(), "N");
  EXPECT_EQ(exifInteger(exif["Exif.Image.Orientation"]), 1);
  EXPECT_STREQ(Exiv2::ExifThumbC(exif).mimeType(), "");  // no thumbnail
  EXPECT_EQ(image->iptcData()["Iptc.Application2.Copyright"].toString(), "Someone");
  EXPECT_EQ(image->xmpData()["Xmp.dc.creator"].toString(), "Someone");
  EXPECT_EQ(image->xmpData()["Xmp.tiff.Orientation"].toString(), "1");
}

TEST(Metadata, TheColourProfileOfAJpegOrPngGoesIntoTheResultUnchanged) {
  // A made-up profile, not sRGB, of every byte value behind its size and signature: it must come
  // out byte for byte.
  std::vector<unsigned char> profile(3000);
  for (std::size_t i = 0; i < profile.size(); ++i) profile[i] = static_cast<unsigned char>(i * 7);
  profile[0] = 0, profile[1] = 0, profile[2] = 3000 >> 8, profile[3] = 3000 & 255;  // its size
  profile[16] = 'R', profile[17] = 'G', profile[18] = 'B', profile[19] = ' ';       // its space
  profile[36] = 'a', profile[37] = 'c', profile[38] = 's', profile[39] = 'p';
  for (const char* name : {"profile.jpg", "profile.png"}) {
    const std::string path = tempPath(name);
    ASSERT_TRUE(cv::imwrite(path, makePhoto(20, 30)));
    auto input = Exiv2::ImageFactory::open(path);
    setIccProfileOf(*input, profile);
    input->writeMetadata();
    const PhotoMetadata metadata = loadPhoto(path, 0).metadata;
    std::remove(path.c_str());
    EXPECT_EQ(metadata.icc, profile) << name;
    const cv::Mat pixels = makePhoto(30, 20);
    std::vector<unsigned char> out = jpegOf(pixels), plain = out;
    ASSERT_TRUE(writeMetadata(metadata, out)) << name;
    auto saved = Exiv2::ImageFactory::open(out.data(), ExivSize(out.size()));
    saved->readMetadata();
    EXPECT_EQ(iccProfileOf(*saved), profile) << name;
    // Samples are never converted to or from the profile.
    EXPECT_EQ(countDifferences(cv::imdecode(out, cv::IMREAD_COLOR),
                               cv::imdecode(plain, cv::IMREAD_COLOR)),
              0);
  }
}

TEST(Metadata, DamagedExifGivesNoMetadataAndNeverHangs) {
  // Little-endian TIFF header, first IFD at 8. The loop: one entry, next IFD back at 8. The
  // truncated block claims 40 entries and then ends; the last claims an IFD far past its end.
  const std::vector<unsigned char> loop = {'I', 'I', 42, 0, 8, 0,   0,   0,   1, 0, 0x0F, 1, 2,
                                           0,   4,   0,  0, 0, 'a', 'b', 'c', 0, 8, 0,    0, 0};
  const std::vector<unsigned char> truncated = {'I', 'I', 42, 0, 8, 0, 0, 0, 40, 0, 0x0F, 1, 2};
  const std::vector<unsigned char> beyond = {'I', 'I', 42, 0, 0xF0, 0xFF, 0xFF, 0x7F};
  for (const auto& tiff : {loop, truncated, beyond}) {
    const std::string path = writeJpegWithExif("damaged.jpg", tiff);
    const PhotoMetadata metadata = loadPhoto(path, 0).metadata;
    std::remove(path.c_str());
    EXPECT_LE(metadata.exif.count(), 1u);  // nothing beyond what the block really holds
    std::vector<unsigned char> out = jpegOf(makePhoto(16, 16));
    writeMetadata(metadata, out);
    EXPECT_FALSE(cv::imdecode(out, cv::IMREAD_COLOR).empty());
  }
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
    EXPECT_FALSE(writeMetadata(loadPhoto(from, 0).metadata, out)) << from;
    EXPECT_EQ(out, target) << from;
  }
  std::remove(png.c_str());
  std::remove(source.c_str());
}
