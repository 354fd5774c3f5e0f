// Stages that are single calls into the image library: edge-preserving smoothing, Gaussian blur and
// the two per-sample tone cut-offs.
#pragma once

#include <opencv2/core.hpp>

// Bilateral filter with diameter 2v+1, colour sigma 4v+1 and space sigma v+1; v = 0 is the
// identity.
void filterBilateral(const cv::Mat& src, int value, cv::Mat& dst);

// Gaussian blur with a square (2v+1) kernel, sigmas derived from the kernel size.
void filterBlur(const cv::Mat& src, int value, cv::Mat& dst);

// Caps every sample above `value` at `value`, per channel.
void filterWhiteToZero(const cv::Mat& src, int value, cv::Mat& dst);

// Sets every sample at or below `value` to 0, per channel.
void filterBlackToZero(const cv::Mat& src, int value, cv::Mat& dst);
