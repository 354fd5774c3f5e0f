// Phone and camera photos open: HEIC, AVIF, JPEG XL and DNG files made here open upright once,
// within their format's loss, with their profile and metadata, sized from their header; damaged
// ones are refused with the usual message.
#include <gtest/gtest.h>
#include <lcms2.h>
#include <unistd.h>

#include <QRegularExpression>
#include <QStringList>
#include <chrono>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "photo/load.hpp"
#include "tests/format_fixtures.hpp"
#include "tests/test_images.hpp"
#include "ui/desktop.hpp"

namespace {

std::string tempPath(const std::string& name) {
  return "/tmp/lumivet-formats-" + std::to_string(getpid()) + "-" + name;
}

// Smooth enough that lossy coding and demosaicking stay close to it; 128 wide, 96 high, so that
// a turn shows in the size.
cv::Mat source() {
  cv::Mat image = makePhoto(96, 128);
  cv::GaussianBlur(image, image, cv::Size(5, 5), 0);
  return image;
}

LoadedPhoto open(const std::string& path) {
  return loadPhoto(path, availableMemory());
}

std::string exifText(const PhotoMetadata& metadata, const char* key) {
  const auto found = metadata.exif.findKey(Exiv2::ExifKey(key));
  return found == metadata.exif.end() ? "" : found->toString();
}

// What becomes of the source's colour profile.
enum class Colours { kept, developed };

struct Format {
  const char* name;
  Kind kind;
  double loss;  // largest mean difference per sample from the source
  Colours colours;
};

const Format kFormats[] = {
    {"HEIC", Kind::heic, 3, Colours::kept},
    {"AVIF", Kind::avif, 3, Colours::kept},
    {"JXLlossy", Kind::jxlLossy, 3, Colours::kept},
    {"JXLlossless", Kind::jxlLossless, 0, Colours::kept},
    // Demosaicking loses a little more than a good lossy codec; the samples are developed to sRGB.
    {"DNG", Kind::dng, 4, Colours::developed},
};

// Test names show the format, not the bytes of the parameter.
void PrintTo(const Format& format, std::ostream* out) {
  *out << format.name;
}

class Formats : public ::testing::TestWithParam<Format> {};

}  // namespace

TEST_P(Formats, OpenUprightOnceWithinTheirLossWithProfileAndMetadata) {
  const Format& format = GetParam();
  // The file and its EXIF both turn the photo a quarter right: it must be turned once.
  const FixtureOptions options = cameraOptions(6);
  const std::string path = tempPath(std::string(format.name) + ".img");  // the name says nothing
  ASSERT_TRUE(writePhoto(format.kind, path, source(), options));
  const LoadedPhoto photo = open(path);
  ASSERT_TRUE(photo.error.empty()) << photo.error;
  cv::Mat upright;
  cv::rotate(source(), upright, cv::ROTATE_90_CLOCKWISE);
  ASSERT_EQ(photo.image.size(), upright.size());
  EXPECT_LE(meanDifference(photo.image, upright), format.loss);
  // A kept profile is the file's byte for byte; samples in sRGB need none.
  EXPECT_EQ(photo.metadata.icc, format.colours == Colours::kept ? options.icc : Bytes());
  EXPECT_EQ(exifText(photo.metadata, "Exif.Image.Make"), "Lumivet");
  EXPECT_EQ(exifText(photo.metadata, "Exif.Image.Model"), "Test Camera 7");
  EXPECT_EQ(exifText(photo.metadata, "Exif.Photo.DateTimeOriginal"), "2026:05:04 10:11:12");
  EXPECT_EQ(exifText(photo.metadata, "Exif.Image.Orientation"), "1");
  const auto creator =
      photo.metadata.xmp.findKey(Exiv2::XmpKey("Xmp.dc.creator"));  // no XMP in DNG
  EXPECT_EQ(creator != photo.metadata.xmp.end() && creator->toString() == "Someone",
            format.kind != Kind::dng);
  EXPECT_TRUE(photo.note.empty()) << photo.note;
  // The memory guard has the size from the header, before anything is decoded.
  const LoadedPhoto tooBig = loadPhoto(path, sessionMemory(upright.size()) - 1);
  EXPECT_NE(tooBig.error.find("pixels; editing it needs about"), std::string::npos) << tooBig.error;
  std::remove(path.c_str());
}

TEST_P(Formats, DamagedFilesAreRefusedWithTheUsualMessageAtOnce) {
  const std::string path = tempPath(std::string(GetParam().name) + ".img");
  ASSERT_TRUE(writePhoto(GetParam().kind, path, source(), {}));
  const Bytes whole = readBytes(path);
  Bytes garbage = whole;  // its signature, then noise
  cv::randu(cv::Mat(1, int(whole.size()) - 32, CV_8U, garbage.data() + 32), 0, 256);
  for (const std::size_t size :
       {whole.size() / 2, whole.size() / 10, std::size_t(40), std::size_t(0)}) {
    writeBytes(path, size ? Bytes(whole.begin(), whole.begin() + long(size)) : garbage);
    const auto start = std::chrono::steady_clock::now();
    const LoadedPhoto photo = open(path);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_TRUE(photo.image.empty()) << size;
    EXPECT_NE(photo.error.find("could not be read as an image"), std::string::npos) << size;
  }
  std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(PhoneAndCamera, Formats, ::testing::ValuesIn(kFormats),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FormatsByContent, ThePlainLibraryFormatsStillOpenWhateverTheirName) {
  // A plain TIFF is no raw file, and a PNG named like a HEIC is still a PNG.
  const cv::Mat image = makePhoto(30, 40);
  for (const auto& [name, encoding] : {std::pair{"plain.tif", ".tif"}, {"photo.heic", ".png"}}) {
    const std::string path = tempPath(name);
    Bytes bytes;
    ASSERT_TRUE(cv::imencode(encoding, image, bytes));
    writeBytes(path, bytes);
    const LoadedPhoto photo = open(path);
    ASSERT_TRUE(photo.error.empty()) << name << ": " << photo.error;
    EXPECT_EQ(countDifferences(photo.image, image), 0) << name;
    std::remove(path.c_str());
  }
}

TEST(FormatsByContent, PhoneColoursGivenByCodeBecomeAProfileAndHdrSaysItsTonesAreApproximate) {
  const cv::Mat image = source();
  // Display P3 primaries (nclx code 12) with the sRGB curve (13), as phones write them: the
  // result carries a profile whose red primary is P3's, redder than sRGB's.
  const std::string path = tempPath("colours.heic");
  ASSERT_TRUE(writeHeicWithColourCode(path, image, 12, 13, 8));
  const Bytes icc = open(path).metadata.icc;
  cmsHPROFILE made = cmsOpenProfileFromMem(icc.data(), cmsUInt32Number(icc.size()));
  cmsHPROFILE srgb = cmsCreate_sRGBProfile();
  const auto redX = [](cmsHPROFILE profile) {
    const void* red = profile ? cmsReadTag(profile, cmsSigRedColorantTag) : nullptr;
    return red ? static_cast<const cmsCIEXYZ*>(red)->X : 0.0;
  };
  EXPECT_GT(redX(made), redX(srgb) + 0.05);
  if (made) cmsCloseProfile(made);
  cmsCloseProfile(srgb);
  // sRGB by code needs no profile.
  ASSERT_TRUE(writeHeicWithColourCode(path, image, 1, 13, 8));
  EXPECT_TRUE(open(path).metadata.icc.empty());
  // 10-bit BT.2020 (9) with the PQ curve (16) opens in 8 bits, not tone-mapped, and says so.
  if (!writeHeicWithColourCode(path, image, 9, 16, 10)) GTEST_SKIP() << "no 10-bit HEVC encoder";
  const LoadedPhoto hdr = open(path);
  EXPECT_LE(meanDifference(hdr.image, image), 3);
  EXPECT_NE(hdr.note.find("tones are approximate"), std::string::npos) << hdr.note;
  std::remove(path.c_str());
}

TEST(FormatsByContent, ARawFileTheTableDoesNotKnowOpensThroughLibRawButNotOneNamedBySizeAlone) {
  const std::string path = tempPath("phone.raw");
  ASSERT_TRUE(writePhoto(Kind::phoneRaw, path, source(), {}));
  const LoadedPhoto photo = open(path);
  EXPECT_EQ(photo.image.size(), source().size()) << photo.error;
  // LibRaw names cameras whose raw files have no header by the file's size: noise of such a size
  // (1024x768 bytes, a camera's) must not open as a photo of noise; noise of another size neither.
  for (const int size : {1024 * 768, 1024 * 768 + 1}) {
    cv::Mat noise(1, size, CV_8U);
    cv::randu(noise, 0, 256);
    writeBytes(path, Bytes(noise.data, noise.data + size));
    const auto start = std::chrono::steady_clock::now();
    const LoadedPhoto refused = open(path);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_NE(refused.error.find("could not be read as an image"), std::string::npos) << size;
  }
  std::remove(path.c_str());
}

TEST(FormatsByContent, ARawFileThatCannotBeDevelopedOpensFromItsPreviewWithANote) {
  const std::string path = tempPath("unknown.dng");
  ASSERT_TRUE(writeDng(path, source(), cameraOptions(8), true));
  const LoadedPhoto photo = open(path);
  cv::Mat upright;
  cv::rotate(source(), upright, cv::ROTATE_90_COUNTERCLOCKWISE);
  EXPECT_LE(meanDifference(photo.image, upright), 3);
  EXPECT_NE(photo.note.find("embedded preview"), std::string::npos) << photo.note;
  EXPECT_EQ(exifText(photo.metadata, "Exif.Image.Model"), "Test Camera 7");
  std::remove(path.c_str());
}

TEST(FormatsByContent, TheDialogOffersPhoneAndCameraFilesInAnyLetterCase) {
  // "Image Formats (PATTERN PATTERN ...)", matched case-sensitively as on this system.
  const QStringList patterns =
      QString::fromStdString(imageFormatsFilter()).section('(', 1).chopped(1).split(' ');
  const auto offered = [&](const char* name) {
    return std::any_of(patterns.begin(), patterns.end(), [&](const QString& pattern) {
      return QRegularExpression(QRegularExpression::wildcardToRegularExpression(pattern))
          .match(name)
          .hasMatch();
    });
  };
  for (const char* name : {"IMG_0001.HEIC", "a.heif", "b.avif", "c.JXL", "d.Dng", "e.cr2", "f.CR3",
                           "g.nef", "h.ARW", "i.orf", "j.rw2", "k.RAF", "l.pef", "m.srw", "n.png"})
    EXPECT_TRUE(offered(name)) << name;
  for (const char* name : {"notes.txt", "IMG_0001.HEIC.txt"}) EXPECT_FALSE(offered(name)) << name;
}
