// Phone and camera photos open: HEIC, AVIF, JPEG XL and DNG files made here open upright once,
// within their format's loss, with their profile and metadata, sized from their header; damaged
// ones are refused with the usual message.
#include <gtest/gtest.h>
#include <lcms2.h>
#include <unistd.h>

#include <QRegularExpression>
#include <QStringList>
#include <chrono>
#include <functional>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "photo/decoders.hpp"
#include "photo/load.hpp"
#include "session/desktop.hpp"
#include "tests/format_fixtures.hpp"
#include "tests/test_images.hpp"

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

bool refused(const LoadedPhoto& photo) {
  return photo.image.empty() &&
         photo.error.find("could not be read as an image") != std::string::npos;
}

// What becomes of the source's colour profile.
enum class Colours { kept, convertedToSrgb, developed };

struct Format {
  const char* name;
  std::function<bool(const std::string&, const cv::Mat&, const FixtureOptions&)> write;
  double loss;  // largest mean difference per sample from the source
  Colours colours;
  bool keepsXmp;
};

// The source's samples in sRGB, from the profile they are in.
cv::Mat inSrgb(const cv::Mat& bgr, const Bytes& profile) {
  cmsHPROFILE from = cmsOpenProfileFromMem(profile.data(), cmsUInt32Number(profile.size()));
  cmsHPROFILE to = cmsCreate_sRGBProfile();
  cmsHTRANSFORM t =
      cmsCreateTransform(from, TYPE_BGR_8, to, TYPE_BGR_8, INTENT_RELATIVE_COLORIMETRIC, 0);
  cv::Mat out(bgr.size(), CV_8UC3);
  cmsDoTransform(t, bgr.data, out.data, cmsUInt32Number(bgr.total()));
  cmsDeleteTransform(t), cmsCloseProfile(from), cmsCloseProfile(to);
  return out;
}

const Format kFormats[] = {
    {"HEIC", [](auto& p, auto& i, auto& o) { return writeHeif(p, i, o, false); }, 3, Colours::kept,
     true},
    {"AVIF", [](auto& p, auto& i, auto& o) { return writeHeif(p, i, o, true); }, 3, Colours::kept,
     true},
    // A lossy file from a photo with a profile that names no standard space comes out in sRGB.
    {"JXL-lossy", writeJxl, 3, Colours::convertedToSrgb, true},
    {"JXL-lossless",
     [](auto& p, auto& i, FixtureOptions o) {
       o.lossless = true;
       return writeJxl(p, i, o);
     },
     0, Colours::kept, true},
    // Demosaicking a mosaic of the photo loses a little more than a good lossy codec.
    {"DNG", [](auto& p, auto& i, auto& o) { return writeDng(p, i, o); }, 4, Colours::developed,
     false},
};

// Test names show the format, not the bytes of the parameter.
void PrintTo(const Format& param, std::ostream* out) {
  *out << param.name;
}

class Formats : public ::testing::TestWithParam<Format> {};

}  // namespace

TEST_P(Formats, OpenUprightOnceWithinTheirLossWithProfileAndMetadata) {
  const Format& format = GetParam();
  // The file turns the photo a quarter right; its EXIF says so too, which must not turn it again.
  FixtureOptions options;
  options.orientation = 6;
  options.icc = wideGamutProfile();
  options.exif = cameraExif(6);
  options.xmp = creatorXmp("Someone");
  const std::string path = tempPath(std::string(format.name) + ".img");  // the name says nothing
  ASSERT_TRUE(format.write(path, source(), options));

  const LoadedPhoto photo = open(path);
  ASSERT_TRUE(photo.error.empty()) << photo.error;
  cv::Mat upright;
  cv::rotate(format.colours == Colours::convertedToSrgb ? inSrgb(source(), options.icc) : source(),
             upright, cv::ROTATE_90_CLOCKWISE);
  ASSERT_EQ(photo.image.size(), upright.size());
  EXPECT_LE(meanDifference(photo.image, upright), format.loss);
  // A kept profile is the file's byte for byte; samples in sRGB need none.
  EXPECT_EQ(photo.metadata.icc, format.colours == Colours::kept ? options.icc : Bytes());
  EXPECT_EQ(exifText(photo.metadata, "Exif.Image.Make"), "Lumivet");
  EXPECT_EQ(exifText(photo.metadata, "Exif.Image.Model"), "Test Camera 7");
  EXPECT_EQ(exifText(photo.metadata, "Exif.Photo.DateTimeOriginal"), "2026:05:04 10:11:12");
  EXPECT_EQ(exifText(photo.metadata, "Exif.Image.Orientation"), "1");
  if (format.keepsXmp) {
    const auto creator = photo.metadata.xmp.findKey(Exiv2::XmpKey("Xmp.dc.creator"));
    ASSERT_NE(creator, photo.metadata.xmp.end());
    EXPECT_EQ(creator->toString(), "Someone");
  }
  EXPECT_TRUE(photo.note.empty()) << photo.note;

  // The memory guard has the size from the header, before anything is decoded.
  const LoadedPhoto tooBig = loadPhoto(path, sessionMemory(upright.size()) - 1);
  EXPECT_TRUE(tooBig.image.empty());
  EXPECT_NE(tooBig.error.find("pixels; editing it needs about"), std::string::npos) << tooBig.error;
  std::remove(path.c_str());
}

TEST_P(Formats, DamagedFilesAreRefusedWithTheUsualMessageAtOnce) {
  const Format& format = GetParam();
  const std::string path = tempPath(std::string(format.name) + ".img");
  ASSERT_TRUE(format.write(path, source(), {}));
  const Bytes whole = readBytes(path);
  Bytes garbage(whole.begin(), whole.begin() + 32);  // its signature, then noise
  cv::RNG rng(7);
  for (int i = 0; i < 4000; ++i) garbage.push_back(uchar(rng.uniform(0, 256)));
  const Bytes cases[] = {Bytes(whole.begin(), whole.begin() + long(whole.size() / 2)),
                         Bytes(whole.begin(), whole.begin() + long(whole.size() / 10)),
                         Bytes(whole.begin(), whole.begin() + 40), garbage};
  for (const Bytes& damaged : cases) {
    writeBytes(path, damaged);
    const auto start = std::chrono::steady_clock::now();
    const LoadedPhoto photo = open(path);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_TRUE(refused(photo)) << format.name << " cut to " << damaged.size() << " bytes";
  }
  std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(PhoneAndCamera, Formats, ::testing::ValuesIn(kFormats),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                           return name;
                         });

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
  // Display P3 named by nclx code: the samples are P3, so the result carries a P3 profile whose
  // red is more saturated than sRGB's.
  const std::string p3 = tempPath("p3.heic");
  ASSERT_TRUE(writeDisplayP3Heic(p3, image));
  const LoadedPhoto photo = open(p3);
  ASSERT_TRUE(photo.error.empty()) << photo.error;
  ASSERT_FALSE(photo.metadata.icc.empty());
  cmsHPROFILE made =
      cmsOpenProfileFromMem(photo.metadata.icc.data(), cmsUInt32Number(photo.metadata.icc.size()));
  ASSERT_NE(made, nullptr);
  cmsHPROFILE srgb = cmsCreate_sRGBProfile(), lab = cmsCreateLab4Profile(nullptr);
  const auto chromaOfRed = [&](cmsHPROFILE profile) {
    cmsHTRANSFORM t =
        cmsCreateTransform(profile, TYPE_RGB_8, lab, TYPE_Lab_DBL, INTENT_RELATIVE_COLORIMETRIC, 0);
    const unsigned char red[3] = {255, 0, 0};
    cmsCIELab out;
    cmsDoTransform(t, red, &out, 1);
    cmsDeleteTransform(t);
    return std::hypot(out.a, out.b);
  };
  EXPECT_GT(chromaOfRed(made), chromaOfRed(srgb) + 5);
  cmsCloseProfile(made), cmsCloseProfile(srgb), cmsCloseProfile(lab);
  std::remove(p3.c_str());

  // Plain sRGB by code needs no profile.
  const std::string plain = tempPath("plain.heic");
  ASSERT_TRUE(writeHeif(plain, image, {}));
  EXPECT_TRUE(open(plain).metadata.icc.empty());
  std::remove(plain.c_str());

  // 10-bit PQ opens in 8 bits, not tone-mapped, and says so.
  const std::string hdr = tempPath("hdr.heic");
  if (!writeHdrHeic(hdr, image)) GTEST_SKIP() << "no 10-bit HEVC encoder here";
  const LoadedPhoto bright = open(hdr);
  ASSERT_TRUE(bright.error.empty()) << bright.error;
  EXPECT_LE(meanDifference(bright.image, image), 3);
  EXPECT_NE(bright.note.find("tones are approximate"), std::string::npos) << bright.note;
  std::remove(hdr.c_str());
}

TEST(FormatsByContent, AJpegRecompressedAsJpegXlKeepsItsPixelsProfileAndExif) {
  PhotoMetadata metadata;
  metadata.icc = wideGamutProfile();
  const Bytes exif = cameraExif(1);
  Exiv2::ExifParser::decode(metadata.exif, exif.data(), long(exif.size()));
  Bytes jpeg;
  cv::imencode(".jpg", source(), jpeg);
  ASSERT_TRUE(writeMetadata(metadata, jpeg));
  const std::string path = tempPath("recompressed.jxl");
  ASSERT_TRUE(writeJxlFromJpeg(path, jpeg));
  const LoadedPhoto photo = open(path);
  ASSERT_TRUE(photo.error.empty()) << photo.error;
  EXPECT_LE(meanDifference(photo.image, cv::imdecode(jpeg, cv::IMREAD_COLOR)), 1);
  EXPECT_EQ(photo.metadata.icc, metadata.icc);
  EXPECT_EQ(exifText(photo.metadata, "Exif.Image.Model"), "Test Camera 7");
  std::remove(path.c_str());
}

TEST(FormatsByContent, ARawFileThatCannotBeDevelopedOpensFromItsPreviewWithANote) {
  const std::string path = tempPath("damaged.dng");
  FixtureOptions options;
  options.orientation = 8;
  ASSERT_TRUE(writeDng(path, source(), options, true));
  const LoadedPhoto photo = open(path);
  ASSERT_TRUE(photo.error.empty()) << photo.error;
  cv::Mat upright;
  cv::rotate(source(), upright, cv::ROTATE_90_COUNTERCLOCKWISE);
  ASSERT_EQ(photo.image.size(), upright.size());
  EXPECT_LE(meanDifference(photo.image, upright), 3);
  EXPECT_NE(photo.note.find("embedded preview"), std::string::npos) << photo.note;
  EXPECT_EQ(exifText(photo.metadata, "Exif.Image.Model"), "Test Camera 7");
  std::remove(path.c_str());
}

TEST(FormatsByContent, TheDialogOffersPhoneAndCameraFilesInAnyLetterCase) {
  const QString filter = QString::fromStdString(imageFormatsFilter());
  ASSERT_TRUE(filter.startsWith("Image Formats (") && filter.endsWith(")"));
  const QStringList patterns = filter.mid(15).chopped(1).split(' ');
  const auto offered = [&](const QString& name) {
    for (const QString& pattern : patterns) {
      // Case-sensitive, as a file dialog matches on this system.
      if (QRegularExpression(QRegularExpression::wildcardToRegularExpression(pattern))
              .match(name)
              .hasMatch())
        return true;
    }
    return false;
  };
  for (const char* name :
       {"IMG_0001.HEIC", "a.heif", "b.avif", "c.JXL", "d.Dng", "e.cr2", "f.CR3", "g.nef", "h.ARW",
        "i.orf", "j.rw2", "k.RAF", "l.pef", "m.srw", "cat.png", "old.JPG", "scan.tif"})
    EXPECT_TRUE(offered(name)) << name;
  for (const char* name : {"notes.txt", "IMG_0001.HEIC.txt", "raw"})
    EXPECT_FALSE(offered(name)) << name;
}
