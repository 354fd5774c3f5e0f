// Neighbourhood smoothing stage ("C.Smooth"): blends each inner sample with its 5x5 neighbourhood.
#pragma once

#include <opencv2/core.hpp>

// Blends every sample at least two pixels from the border with its 5x5 window, weight value/100.
void filterSmooth(const cv::Mat& src, int value, cv::Mat& dst);
