// Contrast stretch stages: per-channel range ("C.StretchC") and brightness range ("C.StretchP").
#pragma once

#include <opencv2/core.hpp>

// Both stretches map a sample v with strength c = value / 100.0 and a range min..max as
//   q = 255 / (max - min); gain = c * (q - 1) + 1; y = gain * (v - c * min)
// in double precision, in that order, rounded half to even and clamped to 0..255. Position 0 is
// the identity and position 100 maps min..max onto 0..255. A range holding one value (max == min)
// has nothing to stretch: its samples pass unchanged at every position. Every sample of dst is
// rewritten; dst keeps its buffer when it already has src's size and type.

// Stretches each channel of an 8-bit BGR image by that channel's own sample range.
void filterStretchC(const cv::Mat& src, int value, cv::Mat& dst);

// Stretches all three channels of an 8-bit BGR image by the range of its brightness image
// (COLOR_BGR2GRAY), which is written to `gray`.
void filterStretchP(const cv::Mat& src, int value, cv::Mat& dst, cv::Mat& gray);
