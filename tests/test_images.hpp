// Generated test images shared by the stage tests.
#pragma once

#include <opencv2/core.hpp>

// A photo-like BGR image: smooth gradients, a few edges and fine texture, from a fixed seed.
cv::Mat makePhoto(int rows, int cols, unsigned seed = 1);

// Uniformly random BGR samples from a fixed seed.
cv::Mat makeRandom(int rows, int cols, unsigned seed = 1);

// Number of samples in which two images of the same size and type differ.
int countDifferences(const cv::Mat& a, const cv::Mat& b);
