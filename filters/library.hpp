// Stages that are single calls into the image library: edge-preserving smoothing, Gaussian blur and
// the two per-sample tone cut-offs.
#pragma once

#include <opencv2/core.hpp>

// Parameters of the library's bilateral filter.
struct BilateralParams {
  int diameter;
  double sigmaColor;
  double sigmaSpace;
};
// Diameter 2v+1, colour sigma 4v+1, space sigma v+1: position v of the "Bilateral" slider.
BilateralParams bilateralParams(int value);

// Parameters of the library's Gaussian blur: a square kernel and its sigma (0: the library derives
// it from the kernel size).
struct BlurParams {
  int size;
  double sigma;
};
// A (2v+1) square kernel with the sigma derived from it: position v of the "Blur" slider.
BlurParams blurParams(int value);
// The sigma the library derives from an odd kernel size when given none.
double derivedBlurSigma(int size);

// The whole-image filters at a slider position.
void filterBilateral(const cv::Mat& src, int value, cv::Mat& dst);
void filterBlur(const cv::Mat& src, int value, cv::Mat& dst);
// Caps every sample above `value` at `value`, per channel.
void filterWhiteToZero(const cv::Mat& src, int value, cv::Mat& dst);
// Sets every sample at or below `value` to 0, per channel.
void filterBlackToZero(const cv::Mat& src, int value, cv::Mat& dst);

// The same filters over the band `rows` of dst only (dst already has src's size and type); the
// band's samples equal those of the whole-image call with the same parameters.
void filterBilateralRows(const cv::Mat& src, const BilateralParams& params, cv::Mat& dst,
                         const cv::Range& rows);
void filterBlurRows(const cv::Mat& src, const BlurParams& params, cv::Mat& dst,
                    const cv::Range& rows);
void filterWhiteToZeroRows(const cv::Mat& src, int value, cv::Mat& dst, const cv::Range& rows);
void filterBlackToZeroRows(const cv::Mat& src, int value, cv::Mat& dst, const cv::Range& rows);
