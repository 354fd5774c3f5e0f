// Contrast stretch stages: per-channel range ("C.StretchC") and brightness range ("C.StretchP").
#pragma once

#include <opencv2/core.hpp>

// Stretches each channel's own sample range toward 0..255 with strength value/100.
void filterStretchC(const cv::Mat& src, int value, cv::Mat& dst);

// Stretches all three channels by the range of the brightness image, which is written to `gray`.
void filterStretchP(const cv::Mat& src, int value, cv::Mat& dst, cv::Mat& gray);
