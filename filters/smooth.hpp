// Neighbourhood smoothing stage ("C.Smooth"): blends each inner sample with its 5x5 neighbourhood.
#pragma once

#include <array>
#include <opencv2/core.hpp>

// Blends every sample at least two pixels from the border with its 5x5 window in the same
// channel; value (0 to 100) is the window's weight in percent. The sample becomes
// (1 - value/100) of itself plus, for each of the 25 window samples, value/100 times that
// sample's count of whole 25s, every term rounded on its own; totals above 255 saturate. The two
// outermost rows and columns keep the source's values. src is 8-bit BGR; whatever dst held
// before is overwritten in full.
void filterSmooth(const cv::Mat& src, int value, cv::Mat& dst);

// The same over rows `rows` of dst only (dst already has src's size and type and is not src's
// buffer); the band's samples equal those of the whole-image call, as the band reads the source
// rows around it.
void filterSmoothRows(const cv::Mat& src, int value, cv::Mat& dst, const cv::Range& rows);

// The smoothing as it looks on a picture much smaller than the photo, where the 5x5 window lies
// inside one sample: every sample of rows `rows` becomes what the stage makes of a window that
// holds its value throughout (borders included).
void filterSmoothFlatRows(const cv::Mat& src, int value, cv::Mat& dst, const cv::Range& rows);
// The two terms of the smoothing for every level: the base term a sample adds for itself, and the
// term it adds to each window it lies in.
struct SmoothTerms {
  std::array<uchar, 256> base, neighbour;
};
SmoothTerms smoothTerms(int value);
