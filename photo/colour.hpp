// Colour profiles through LittleCMS: what space a profile describes, and the conversions that keep
// the 8-bit BGR samples every decoder gives and the profile saved with them in agreement.
#pragma once

#include <lcms2.h>

#include <opencv2/core.hpp>
#include <vector>

#include "photo/metadata.hpp"

using Profile = std::vector<unsigned char>;

// The bytes of a LittleCMS profile (which stays open), or nothing when it cannot be saved.
Profile profileBytes(cmsHPROFILE profile);

// LittleCMS's sRGB profile.
const Profile& srgbProfile();

// A grey photo is edited as colour: its grey profile becomes an RGB profile with sRGB primaries and
// the grey profile's tone curve on all three channels, which renders the grey samples, copied to
// all three channels, as the grey profile did. Empty when the grey profile has no tone curve.
Profile rgbProfileFromGrey(const Profile& grey);

// The profile that goes with RGB samples: an RGB profile as it is, a grey one made RGB as above,
// and nothing for any other space (a CMYK profile whose samples were converted without it, Lab).
// A profile whose header cannot be read stays as it is.
Profile profileForRgbSamples(const Profile& icc);

// CMYK samples (8 or 16 bits, four channels; `inverted` when 0 means full ink, as Adobe's CMYK
// JPEGs store them) converted through `profile` into sRGB, relative colorimetric with black point
// compensation, as 8-bit BGR. Empty when the profile cannot be used.
cv::Mat cmykToSrgb(const cv::Mat& cmyk, const Profile& profile, bool inverted);

// Linear-light RGB samples with sRGB primaries (32-bit float, three channels in R, G, B order,
// unbounded: values below 0 or above 1 hold colours outside sRGB) converted into `profile` (an RGB
// profile) as 8-bit BGR, rounded and clipped. Empty when the profile cannot be used.
cv::Mat linearSrgbToProfile(const cv::Mat& rgb, const Profile& profile);
