// Gaussian noise stage ("G.noise"): zero-mean noise of standard deviation value/2 per sample.
#pragma once

#include <opencv2/core.hpp>

// Adds fresh Gaussian noise from the library's default generator to every sample.
void filterNoise(const cv::Mat& src, int value, cv::Mat& dst);
