// Gaussian noise stage ("G.noise"): zero-mean noise of standard deviation value/2 per sample.
#pragma once

#include <opencv2/core.hpp>

// Adds fresh Gaussian noise from the library's default generator to every sample.
void filterNoise(const cv::Mat& src, int value, cv::Mat& dst);

// Adds noise of standard deviation `sigma` drawn from `rng` to rows `rows` of dst only (dst already
// has src's size and type). The noise is drawn in raster order, so drawing the bands from the top
// one after another gives exactly the field of one whole-image call from the same generator state.
void filterNoiseRows(const cv::Mat& src, double sigma, cv::RNG& rng, cv::Mat& dst,
                     const cv::Range& rows);

// What noise of standard deviation `sigma` leaves of a sample v once the result is rounded and
// clipped to 0..255: the mean and the standard deviation of saturate_cast<uchar>(v + n), for
// every v. Near black and white the clipping pulls the mean in and narrows the spread.
struct ClippedNoise {
  float mean[256];
  float deviation[256];
};
ClippedNoise clippedNoise(double sigma);

// The noise of `sigma` as it looks once `1 / scale^2` noisy samples are averaged into one (the
// photo seen `scale` times smaller): every sample v of rows `rows` becomes the mean of its
// clipped noise plus a normal draw of its deviation times `scale`.
void filterAveragedNoiseRows(const cv::Mat& src, double sigma, double scale, cv::RNG& rng,
                             cv::Mat& dst, const cv::Range& rows);
