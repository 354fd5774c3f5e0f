// The saved profile always describes the RGB samples: a press photo's CMYK goes through its own
// profile into sRGB, a grey profile becomes an RGB one with its tones, and a lossy JPEG XL made in
// a wide-gamut space keeps the colours outside sRGB and its profile.
#include <gtest/gtest.h>
#include <lcms2.h>
#include <tiffio.h>
#include <unistd.h>

#include <exiv2/exiv2.hpp>

// clang-format off
#include <cstdio>  // jpeglib.h needs FILE and size_t declared before it
#include <jpeglib.h>
// clang-format on
#include <cmath>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "photo/colour.hpp"
#include "photo/load.hpp"
#include "photo/metadata.hpp"
#include "tests/format_fixtures.hpp"

namespace {

std::string tempPath(const std::string& name) {
  return "/tmp/lumivet-colour-" + std::to_string(getpid()) + "-" + name;
}

// Ghostscript's CMYK output profile, from Debian's libgs-common.
const char* const kPressProfile = "/usr/share/color/icc/ghostscript/default_cmyk.icc";

// Flat patches side by side, 16 pixels square, of `channels` 8-bit samples each.
cv::Mat patches(const std::vector<cv::Scalar>& colours, int channels) {
  cv::Mat image(16, 16 * int(colours.size()), CV_8UC(channels));
  for (std::size_t i = 0; i < colours.size(); ++i)
    image.colRange(16 * int(i), 16 * int(i) + 16).setTo(colours[i]);
  return image;
}

cv::Vec3d labOf(const Profile& icc, cmsUInt32Number format, const void* sample) {
  cmsHPROFILE from = cmsOpenProfileFromMem(icc.data(), cmsUInt32Number(icc.size()));
  cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
  cmsHTRANSFORM t =
      cmsCreateTransform(from, format, lab, TYPE_Lab_DBL, INTENT_RELATIVE_COLORIMETRIC, 0);
  cv::Vec3d out;
  cmsDoTransform(t, sample, out.val, 1);
  cmsDeleteTransform(t), cmsCloseProfile(lab), cmsCloseProfile(from);
  return out;
}

// A CMYK JPEG as Adobe's applications write it: 0 is full ink, the APP14 segment says so.
void writeInvertedCmykJpeg(const std::string& path, const cv::Mat& cmyk) {
  FILE* file = std::fopen(path.c_str(), "wb");
  jpeg_compress_struct info;
  jpeg_error_mgr errors;
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  jpeg_stdio_dest(&info, file);
  info.image_width = JDIMENSION(cmyk.cols), info.image_height = JDIMENSION(cmyk.rows);
  info.input_components = 4, info.in_color_space = JCS_CMYK;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, 98, TRUE);
  jpeg_start_compress(&info, TRUE);
  const cv::Mat inverted = ~cmyk;
  for (int y = 0; y < cmyk.rows; ++y) {
    JSAMPROW row = const_cast<uchar*>(inverted.ptr(y));
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::fclose(file);
}

void writeCmykTiff(const std::string& path, const cv::Mat& cmyk, const Bytes& icc) {
  TIFF* tiff = TIFFOpen(path.c_str(), "w");
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, uint32_t(cmyk.cols));
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, uint32_t(cmyk.rows));
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 4);
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_SEPARATED);
  TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tiff, TIFFTAG_ORIENTATION, ORIENTATION_RIGHTTOP);
  TIFFSetField(tiff, TIFFTAG_ICCPROFILE, uint32_t(icc.size()), icc.data());
  for (int y = 0; y < cmyk.rows; ++y) TIFFWriteScanline(tiff, const_cast<uchar*>(cmyk.ptr(y)), y);
  TIFFClose(tiff);
}

class Cmyk : public ::testing::TestWithParam<const char*> {};

}  // namespace

TEST_P(Cmyk, APressPhotoComesOutInSrgbThroughItsOwnProfileUprightOnce) {
  const Bytes press = readBytes(kPressProfile);
  ASSERT_FALSE(press.empty()) << kPressProfile;
  // Paper, a light grey, a sky blue, a skin tone and an olive: ink amounts, 0 none.
  const std::vector<cv::Scalar> inks = {
      {0, 0, 0, 0}, {0, 0, 0, 64}, {110, 30, 0, 0}, {10, 60, 80, 5}, {60, 50, 90, 10}};
  const cv::Mat cmyk = patches(inks, 4);
  const std::string path = tempPath(std::string("press.") + GetParam());
  if (std::string(GetParam()) == "jpg") {
    writeInvertedCmykJpeg(path, cmyk);
    auto image = Exiv2::ImageFactory::open(path);  // the profile and an EXIF turn to the right
    image->readMetadata();
    setIccProfileOf(*image, press);
    image->exifData()["Exif.Image.Orientation"] = uint16_t(6);
    image->writeMetadata();
  } else {
    writeCmykTiff(path, cmyk, press);
  }
  const LoadedPhoto photo = loadPhoto(path, 0);
  std::remove(path.c_str());
  ASSERT_TRUE(photo.error.empty()) << photo.error;
  ASSERT_EQ(photo.image.size(), cv::Size(cmyk.rows, cmyk.cols));  // turned a quarter, once
  EXPECT_EQ(photo.metadata.icc, srgbProfile());
  cv::Mat upright;
  cv::rotate(photo.image, upright, cv::ROTATE_90_COUNTERCLOCKWISE);
  for (std::size_t i = 0; i < inks.size(); ++i) {
    uchar ink[4], bgr[3];
    for (int c = 0; c < 4; ++c) ink[c] = uchar(inks[i][c]);
    const cv::Vec3b got = upright.at<cv::Vec3b>(8, 16 * int(i) + 8);
    std::copy(got.val, got.val + 3, bgr);
    const double error =
        cmsDeltaE(reinterpret_cast<const cmsCIELab*>(labOf(press, TYPE_CMYK_8, ink).val),
                  reinterpret_cast<const cmsCIELab*>(labOf(srgbProfile(), TYPE_BGR_8, bgr).val));
    EXPECT_LE(error, 2.0) << "patch " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(JpegAndTiff, Cmyk, ::testing::Values("jpg", "tif"));

TEST(Grey, AGreyProfileBecomesAnRgbOneThatRendersTheSameTones) {
  // A dot gain of about 20% at the middle: far from sRGB's curve, so a wrong profile shows.
  cmsToneCurve* dotGain = cmsBuildGamma(nullptr, 1.8);
  cmsHPROFILE grey = cmsCreateGrayProfile(cmsD50_xyY(), dotGain);
  const Profile greyIcc = profileBytes(grey);
  cmsCloseProfile(grey), cmsFreeToneCurve(dotGain);
  const std::string path = tempPath("grey.png");
  cv::Mat tones(1, 256, CV_8U);
  for (int v = 0; v < 256; ++v) tones.at<uchar>(v) = uchar(v);
  ASSERT_TRUE(cv::imwrite(path, tones));
  auto image = Exiv2::ImageFactory::open(path);
  image->readMetadata();
  setIccProfileOf(*image, greyIcc);
  image->writeMetadata();
  const LoadedPhoto photo = loadPhoto(path, 0);
  std::remove(path.c_str());
  ASSERT_TRUE(photo.error.empty()) << photo.error;
  ASSERT_EQ(profileSpace(photo.metadata.icc), ProfileSpace::kRgb);
  for (int v = 0; v < 256; v += 17) {
    const uchar tone = uchar(v);
    const cv::Vec3b bgr = photo.image.at<cv::Vec3b>(0, v);
    ASSERT_EQ(bgr, cv::Vec3b(tone, tone, tone));  // the samples themselves stay
    const cv::Vec3d want = labOf(greyIcc, TYPE_GRAY_8, &tone);
    const cv::Vec3d got = labOf(photo.metadata.icc, TYPE_BGR_8, bgr.val);
    EXPECT_NEAR(got[0], want[0], 0.5) << "tone " << v;
    EXPECT_NEAR(std::hypot(got[1], got[2]), 0, 1.0) << "tone " << v;
  }
}

TEST(WideGamut, ALossyJpegXlKeepsTheColoursOutsideSrgbAndItsProfileTurnedOnce) {
  // Saturated green, cyan and orange of a wide-gamut space, and a grey.
  const std::vector<cv::Scalar> colours = {
      {60, 220, 50}, {220, 210, 60}, {70, 130, 230}, {128, 128, 128}};
  const cv::Mat source = patches(colours, 3);
  const FixtureOptions made = cameraOptions(1);
  // The colours are outside sRGB: through sRGB they would come back more than 3 levels off.
  cmsHPROFILE wide = cmsOpenProfileFromMem(made.icc.data(), cmsUInt32Number(made.icc.size()));
  cmsHPROFILE srgb = cmsCreate_sRGBProfile();
  cmsHTRANSFORM there = cmsCreateTransform(wide, TYPE_BGR_8, srgb, TYPE_BGR_8, 0, 0);
  cmsHTRANSFORM back = cmsCreateTransform(srgb, TYPE_BGR_8, wide, TYPE_BGR_8, 0, 0);
  cv::Mat clipped(source.size(), CV_8UC3);
  for (int y = 0; y < source.rows; ++y) {
    cmsDoTransform(there, source.ptr(y), clipped.ptr(y), cmsUInt32Number(source.cols));
    cmsDoTransform(back, clipped.ptr(y), clipped.ptr(y), cmsUInt32Number(source.cols));
  }
  cmsDeleteTransform(there), cmsDeleteTransform(back), cmsCloseProfile(wide), cmsCloseProfile(srgb);
  for (std::size_t i = 0; i + 1 < colours.size(); ++i)
    EXPECT_GT(cv::norm(clipped.at<cv::Vec3b>(8, 16 * int(i) + 8),
                       source.at<cv::Vec3b>(8, 16 * int(i) + 8), cv::NORM_INF),
              3)
        << "patch " << i << " is inside sRGB";

  for (const int orientation : {6, 5}) {
    FixtureOptions options = cameraOptions(orientation);
    const std::string path = tempPath("wide.jxl");
    ASSERT_TRUE(writePhoto(Kind::jxlLossy, path, source, options));
    const LoadedPhoto photo = loadPhoto(path, 0);
    std::remove(path.c_str());
    ASSERT_TRUE(photo.error.empty()) << photo.error;
    EXPECT_EQ(photo.metadata.icc, options.icc);
    cv::Mat upright;
    if (orientation == 6) cv::rotate(photo.image, upright, cv::ROTATE_90_COUNTERCLOCKWISE);
    if (orientation == 5) cv::transpose(photo.image, upright);
    ASSERT_EQ(upright.size(), source.size()) << "orientation " << orientation;
    for (std::size_t i = 0; i < colours.size(); ++i) {
      const cv::Rect inner(16 * int(i) + 4, 4, 8, 8);  // away from the patches' edges
      const cv::Scalar got = cv::mean(upright(inner));
      for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(got[c], colours[i][c], 3) << "orientation " << orientation << " patch " << i;
    }
  }
}
