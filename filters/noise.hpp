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
