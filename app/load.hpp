// Loading a photo.
#pragma once

#include <opencv2/core.hpp>
#include <string>

// The photo at `path` as 8-bit BGR, upright; empty when it cannot be read.
cv::Mat loadImage(const std::string& path);
