// Colour profiles and conversions through LittleCMS.
#include "photo/colour.hpp"

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

struct ProfileCloser {
  void operator()(void* profile) const { cmsCloseProfile(profile); }
};
using OpenProfile = std::unique_ptr<void, ProfileCloser>;

OpenProfile openProfile(const Profile& icc) {
  return OpenProfile(icc.empty() ? nullptr
                                 : cmsOpenProfileFromMem(icc.data(), cmsUInt32Number(icc.size())));
}

struct TransformDeleter {
  void operator()(void* transform) const { cmsDeleteTransform(transform); }
};
using Transform = std::unique_ptr<void, TransformDeleter>;

// Runs `transform` over the rows of `from` into `to` (both allocated, of one size).
void transformRows(cmsHTRANSFORM transform, const cv::Mat& from, cv::Mat& to) {
  for (int row = 0; row < from.rows; ++row) {
    cmsDoTransform(transform, from.ptr(row), to.ptr(row), cmsUInt32Number(from.cols));
  }
}

}  // namespace

Profile profileBytes(cmsHPROFILE profile) {
  cmsUInt32Number size = 0;
  if (!profile || !cmsSaveProfileToMem(profile, nullptr, &size) || size < 128) return {};
  Profile bytes(size);
  if (!cmsSaveProfileToMem(profile, bytes.data(), &size)) return {};
  // LittleCMS dates a profile when it makes it: a fixed date (2000-01-01) makes the same photo
  // give the same bytes, whenever and wherever it is opened.
  const unsigned char date[12] = {0x07, 0xD0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0};
  std::copy(date, date + 12, bytes.begin() + 24);
  return bytes;
}

const Profile& srgbProfile() {
  static const Profile bytes = [] {
    const OpenProfile srgb(cmsCreate_sRGBProfile());
    return profileBytes(srgb.get());
  }();
  return bytes;
}

Profile rgbProfileFromGrey(const Profile& grey) {
  const OpenProfile source = openProfile(grey);
  if (!source || cmsGetColorSpace(source.get()) != cmsSigGrayData) return {};
  const auto* curve = static_cast<const cmsToneCurve*>(cmsReadTag(source.get(), cmsSigGrayTRCTag));
  if (!curve) return {};
  // sRGB's white point and primaries; the tag's curve is owned by the grey profile.
  const cmsCIExyY white = {0.3127, 0.3290, 1.0};
  const cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1.0}, {0.30, 0.60, 1.0}, {0.15, 0.06, 1.0}};
  cmsToneCurve* curves[3] = {const_cast<cmsToneCurve*>(curve), const_cast<cmsToneCurve*>(curve),
                             const_cast<cmsToneCurve*>(curve)};
  const OpenProfile rgb(cmsCreateRGBProfile(&white, &primaries, curves));
  return profileBytes(rgb.get());
}

Profile profileForRgbSamples(const Profile& icc) {
  switch (profileSpace(icc)) {
    case ProfileSpace::kUnknown:
    case ProfileSpace::kRgb:
      return icc;
    case ProfileSpace::kGrey:
      return rgbProfileFromGrey(icc);
    default:
      return {};
  }
}

cv::Mat cmykToSrgb(const cv::Mat& cmyk, const Profile& profile, bool inverted) {
  const OpenProfile source = openProfile(profile);
  const OpenProfile srgb(cmsCreate_sRGBProfile());
  if (!source || !srgb || cmsGetColorSpace(source.get()) != cmsSigCmykData ||
      cmyk.channels() != 4 || (cmyk.depth() != CV_8U && cmyk.depth() != CV_16U))
    return {};
  const bool wide = cmyk.depth() == CV_16U;
  const cmsUInt32Number format = wide ? (inverted ? TYPE_CMYK_16_REV : TYPE_CMYK_16)
                                      : (inverted ? TYPE_CMYK_8_REV : TYPE_CMYK_8);
  const Transform transform(cmsCreateTransform(source.get(), format, srgb.get(), TYPE_BGR_8,
                                               INTENT_RELATIVE_COLORIMETRIC,
                                               cmsFLAGS_BLACKPOINTCOMPENSATION));
  if (!transform) return {};
  cv::Mat bgr(cmyk.size(), CV_8UC3);
  transformRows(transform.get(), cmyk, bgr);
  return bgr;
}

namespace {

// The colorants of a matrix-shaper profile (its primaries in the connection space), as the columns
// of a matrix.
bool colorants(cmsHPROFILE profile, cv::Matx33d& matrix) {
  const cmsTagSignature tags[3] = {cmsSigRedColorantTag, cmsSigGreenColorantTag,
                                   cmsSigBlueColorantTag};
  for (int c = 0; c < 3; ++c) {
    const auto* xyz = static_cast<const cmsCIEXYZ*>(cmsReadTag(profile, tags[c]));
    if (!xyz) return false;
    matrix(0, c) = xyz->X, matrix(1, c) = xyz->Y, matrix(2, c) = xyz->Z;
  }
  return true;
}

// Into a matrix-shaper profile the conversion is a matrix and a curve a channel, as LittleCMS does
// it for the relative colorimetric intent; done here over whole rows, it takes a small fraction of
// LittleCMS's time with floats. Each curve is inverted into a table over the fourth root of the
// linear value, which is finest near black, where curves are steepest.
cv::Mat matrixShaperFromLinearSrgb(const cv::Mat& rgb, cmsHPROFILE target) {
  const OpenProfile srgb(cmsCreate_sRGBProfile());
  cv::Matx33d from, to;
  if (!colorants(srgb.get(), from) || !colorants(target, to) || cv::determinant(to) == 0) return {};
  constexpr int kSteps = 4096;
  std::vector<uchar> tables[3];
  const cmsTagSignature curves[3] = {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag};
  for (int c = 0; c < 3; ++c) {
    const auto* curve = static_cast<const cmsToneCurve*>(cmsReadTag(target, curves[c]));
    cmsToneCurve* inverse = curve ? cmsReverseToneCurve(curve) : nullptr;
    if (!inverse) return {};
    tables[c].resize(kSteps + 1);
    for (int i = 0; i <= kSteps; ++i) {
      const double root = double(i) / kSteps;
      const double encoded = cmsEvalToneCurveFloat(inverse, float(root * root * root * root));
      tables[c][std::size_t(i)] = cv::saturate_cast<uchar>(encoded * 255);
    }
    cmsFreeToneCurve(inverse);
  }
  cv::Mat linear;
  cv::transform(rgb, linear, cv::Matx33f(to.inv() * from));
  cv::max(linear, 0.0, linear);
  cv::min(linear, 1.0, linear);
  cv::sqrt(linear, linear);
  cv::sqrt(linear, linear);
  cv::Mat out(rgb.size(), CV_8UC3);
  for (int y = 0; y < rgb.rows; ++y) {
    const float* in = linear.ptr<float>(y);
    uchar* bgr = out.ptr(y);
    for (int x = 0; x < rgb.cols; ++x, in += 3, bgr += 3) {
      for (int c = 0; c < 3; ++c) bgr[2 - c] = tables[c][std::size_t(in[c] * kSteps + 0.5f)];
    }
  }
  return out;
}

}  // namespace

cv::Mat linearSrgbToProfile(const cv::Mat& rgb, const Profile& profile) {
  const OpenProfile target = openProfile(profile);
  if (!target || cmsGetColorSpace(target.get()) != cmsSigRgbData || rgb.type() != CV_32FC3)
    return {};
  if (cmsIsMatrixShaper(target.get())) {
    cv::Mat out = matrixShaperFromLinearSrgb(rgb, target.get());
    if (!out.empty()) return out;
  }
  // Any other profile through LittleCMS. A curve of exactly 1 passes values outside 0 to 1
  // through, so the colours outside sRGB reach the target profile.
  const cmsCIExyY white = {0.3127, 0.3290, 1.0};
  const cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1.0}, {0.30, 0.60, 1.0}, {0.15, 0.06, 1.0}};
  cmsToneCurve* linear = cmsBuildGamma(nullptr, 1.0);
  cmsToneCurve* curves[3] = {linear, linear, linear};
  const OpenProfile source(cmsCreateRGBProfile(&white, &primaries, curves));
  cmsFreeToneCurve(linear);
  if (!source) return {};
  // Floats in and out keep the transform unbounded; the rounding to 8 bits is done after it.
  const Transform transform(cmsCreateTransform(source.get(), TYPE_RGB_FLT, target.get(),
                                               TYPE_BGR_FLT, INTENT_RELATIVE_COLORIMETRIC,
                                               cmsFLAGS_NOCACHE));
  if (!transform) return {};
  cv::Mat bgr(rgb.size(), CV_32FC3);
  transformRows(transform.get(), rgb, bgr);
  cv::Mat out;
  bgr.convertTo(out, CV_8UC3, 255.0);
  return out;
}
