// Contrast stretch stages: per-channel range ("C.StretchC") and brightness range ("C.StretchP").
#pragma once

#include <array>
#include <opencv2/core.hpp>
#include <vector>

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

// What a stretch run prepares once over the whole source: the mapping of every sample value, per
// channel, and the same mapping for pairs of neighbouring samples.
struct StretchMap {
  std::array<std::array<uchar, 256>, 3> tables;
  bool shared = false;  // one table for all channels
  std::vector<std::array<uchar, 2>> pairs01, pairs20, pairs12;
};

// The per-run preparation of the two stretches (StretchP writes the brightness image to `gray`).
StretchMap stretchCMap(const cv::Mat& src, int value);
StretchMap stretchPMap(const cv::Mat& src, int value, cv::Mat& gray);

// Maps rows `rows` of src into the same rows of dst (which already has src's size and type).
void filterStretchRows(const cv::Mat& src, const StretchMap& map, cv::Mat& dst,
                       const cv::Range& rows);
