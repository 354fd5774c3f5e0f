// Area averaging between a photo and the smaller picture the window shows, and what the window
// tells about a picture besides its samples: a histogram and where samples clip.
//
// Each pixel of the picture is the mean of the samples it covers, each weighted by the share of it
// that the pixel covers, rounded to the nearest level (a half up). The arithmetic is exact (whole
// numbers), so a row of the picture depends on the rows of the photo under it only: the finished
// rows of a long run scale to the same rows as its whole result does.
#pragma once

#include <array>
#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

// How many samples of each channel (B, G, R) hold each level.
struct Histogram {
  std::array<std::array<uint64_t, 256>, 3> counts{};
  uint64_t samples() const;  // of all three channels
  bool empty() const { return samples() == 0; }
};

// The histogram of an 8-bit BGR image.
Histogram histogramOf(const cv::Mat& image);

// Bits of a clipping mark: the pixel of the picture covers a sample at 0, or at 255.
enum ClipMark : uchar { kCoversBlack = 1, kCoversWhite = 2 };

// The scaling from one size down to another (neither dimension larger), with its weights worked
// out once.
class AreaScaling {
 public:
  AreaScaling() = default;
  // With `step` above 1, the source is the grid of every step-th pixel of every step-th row of an
  // image `step` times larger (whole steps only): a quicker, sampled estimate of its scaling.
  AreaScaling(cv::Size from, cv::Size to, int step = 1);

  cv::Size from() const { return from_; }
  cv::Size to() const { return to_; }

  // Writes rows `rows` of `dst` (8-bit BGR of size to(), allocated by the caller) from `src`
  // (8-bit BGR of size from(), or with a step, the image it samples), on every core. With `map`,
  // every sample is replaced by map[sample] first. With `marks` (CV_8U of size to()), each of
  // those rows' pixels gets the ClipMark bits of the (mapped) samples it covers.
  void scale(const cv::Mat& src, cv::Mat& dst, const cv::Range& rows, const uchar* map = nullptr,
             cv::Mat* marks = nullptr) const;

  // How many rows of the picture, from the top, rows [0, sourceRows) of the photo complete.
  int rowsComplete(int sourceRows) const;

  // How the source pixels of one axis fall into the pixels of the picture: pixel d covers
  // count[d] source pixels from first[d]; the first has the weight firstWeight[d], the last
  // lastWeight[d], those between fullWeight; the weights of a pixel add up to `total`. Along x the
  // weights are also laid out as `span` weights per pixel from spanStart[d], zero beyond the
  // pixels it covers, so that every pixel is summed by the same loop.
  struct Axis {
    std::vector<int> first, count;
    std::vector<uint32_t> firstWeight, lastWeight;
    uint32_t fullWeight = 1;
    uint32_t total = 1;
    int span = 1;
    std::vector<int> spanStart;
    std::vector<uint32_t> spanWeights;
  };

 private:
  cv::Size from_, to_;
  int step_ = 1;
  Axis x_, y_;
};

// `image` scaled to `size` with area averaging (a copy when the size is the image's own).
cv::Mat areaScaled(const cv::Mat& image, cv::Size size);
