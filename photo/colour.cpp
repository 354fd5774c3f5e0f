// Colour profiles and conversions through LittleCMS.
#include "photo/colour.hpp"

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

uint32_t bigEndian32(const unsigned char* bytes) {
  return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 |
         uint32_t(bytes[3]);
}

// Runs `transform` over the rows of `from` into `to` (both allocated, of one size).
void transformRows(cmsHTRANSFORM transform, const cv::Mat& from, cv::Mat& to) {
  for (int row = 0; row < from.rows; ++row) {
    cmsDoTransform(transform, from.ptr(row), to.ptr(row), cmsUInt32Number(from.cols));
  }
}

}  // namespace

ProfileSpace profileSpace(const Profile& icc) {
  if (icc.size() < 128 || bigEndian32(icc.data()) != icc.size() ||
      std::memcmp(icc.data() + 36, "acsp", 4) != 0)
    return ProfileSpace::kUnknown;
  const char* space = reinterpret_cast<const char*>(icc.data() + 16);
  if (std::memcmp(space, "RGB ", 4) == 0) return ProfileSpace::kRgb;
  if (std::memcmp(space, "GRAY", 4) == 0) return ProfileSpace::kGrey;
  if (std::memcmp(space, "CMYK", 4) == 0) return ProfileSpace::kCmyk;
  return ProfileSpace::kOther;
}

Profile profileBytes(cmsHPROFILE profile) {
  cmsUInt32Number size = 0;
  if (!profile || !cmsSaveProfileToMem(profile, nullptr, &size) || size == 0) return {};
  Profile bytes(size);
  if (!cmsSaveProfileToMem(profile, bytes.data(), &size)) return {};
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

cv::Mat linearSrgbToProfile(const cv::Mat& rgb, const Profile& profile) {
  const OpenProfile target = openProfile(profile);
  if (!target || cmsGetColorSpace(target.get()) != cmsSigRgbData || rgb.type() != CV_32FC3)
    return {};
  // A curve of exactly 1 passes values outside 0 to 1 through, so the colours outside sRGB reach
  // the target profile.
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
