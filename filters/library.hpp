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

// The same four filters over the band `rows` of dst only (dst already has src's size and type);
// the band's samples equal those of the whole-image call.
void filterBilateralRows(const cv::Mat& src, int value, cv::Mat& dst, const cv::Range& rows);
void filterBlurRows(const cv::Mat& src, int value, cv::Mat& dst, const cv::Range& rows);
void filterWhiteToZeroRows(const cv::Mat& src, int value, cv::Mat& dst, const cv::Range& rows);
void filterBlackToZeroRows(const cv::Mat& src, int value, cv::Mat& dst, const cv::Range& rows);
