// Neighbourhood smoothing stage ("C.Smooth"): blends each inner sample with its 5x5 neighbourhood.
#pragma once

#include <opencv2/core.hpp>

// Blends every sample at least two pixels from the border with its 5x5 window in the same
// channel; value (0 to 100) is the window's weight in percent. The sample becomes
// (1 - value/100) of itself plus, for each of the 25 window samples, value/100 times that
// sample's count of whole 25s, every term rounded on its own; totals above 255 saturate. The two
// outermost rows and columns keep the source's values. src is 8-bit BGR; whatever dst held
// before is overwritten in full.
void filterSmooth(const cv::Mat& src, int value, cv::Mat& dst);
