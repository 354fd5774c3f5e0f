// Contrast stretch stages and their slider handlers. The mapping depends only on the sample value
// once the range is known, so each run scans the range, tabulates the mapping for all 256 values
// with the exact double arithmetic and then does one table lookup per sample.
#include "stages/stretch.hpp"

#include <algorithm>
#include <array>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "stages/stages.hpp"

namespace {

using Table = std::array<uchar, 256>;

// Smallest and largest sample value of one channel; a scan starts from an empty range.
struct SampleRange {
  int min = 255;
  int max = 0;
};

using ChannelRanges = std::array<SampleRange, 3>;

// Stripes of roughly 64K pixels: enough work per task to hide the scheduling cost.
int stripeCount(const cv::Mat& image) {
  const double pixels = double(image.rows) * image.cols;
  return std::clamp(static_cast<int>(pixels / 65536.0), 1, std::max(image.rows, 1));
}

cv::Range stripeRows(int stripe, int stripes, int rows) {
  return cv::Range(static_cast<int>(int64_t(rows) * stripe / stripes),
                   static_cast<int>(int64_t(rows) * (stripe + 1) / stripes));
}

Table stretchTable(int value, SampleRange range) {
  Table table;
  if (range.max == range.min) {
    // One value over the whole image: nothing to stretch, and 255 / 0 has no meaning.
    for (int v = 0; v < 256; ++v) table[v] = static_cast<uchar>(v);
    return table;
  }
  const double c = value / 100.0;
  const double min = range.min;
  const double max = range.max;
  for (int v = 0; v < 256; ++v) {
    // Kept as separate steps in this order: the rounding of each step decides results that lie
    // at or near a half.
    const double q = 255 / (max - min);
    const double a = q - 1;
    const double gain = c * a + 1;
    const double offset = v - c * min;
    const double y = gain * offset;
    table[v] = cv::saturate_cast<uchar>(y);
  }
  return table;
}

// Per-channel range of rows [rows.start, rows.end). Running minima and maxima are kept for each
// byte position of a 48-byte block (16 pixels), which the compiler turns into vector min/max;
// byte b of a block belongs to channel b % 3, as does byte b of a row.
ChannelRanges scanChannels(const cv::Mat& src, cv::Range rows) {
  constexpr int kBlock = 48;
  std::array<uchar, kBlock> lo;
  std::array<uchar, kBlock> hi;
  lo.fill(255);
  hi.fill(0);
  const int width = src.cols * 3;
  const int blocked = width - width % kBlock;
  ChannelRanges ranges;
  for (int i = rows.start; i < rows.end; ++i) {
    const uchar* row = src.ptr<uchar>(i);
    for (int n = 0; n < blocked; n += kBlock) {
      for (int b = 0; b < kBlock; ++b) {
        lo[b] = std::min(lo[b], row[n + b]);
        hi[b] = std::max(hi[b], row[n + b]);
      }
    }
    for (int n = blocked; n < width; ++n) {
      SampleRange& range = ranges[n % 3];
      range.min = std::min<int>(range.min, row[n]);
      range.max = std::max<int>(range.max, row[n]);
    }
  }
  for (int b = 0; b < kBlock; ++b) {
    SampleRange& range = ranges[b % 3];
    range.min = std::min<int>(range.min, lo[b]);
    range.max = std::max<int>(range.max, hi[b]);
  }
  return ranges;
}

// Minimum and maximum are the same whatever order the samples are visited in, so the stripes are
// scanned in parallel and their ranges merged.
ChannelRanges channelRanges(const cv::Mat& src) {
  const int stripes = stripeCount(src);
  std::vector<ChannelRanges> parts(stripes);
  cv::parallel_for_(
      cv::Range(0, stripes),
      [&](const cv::Range& r) {
        for (int s = r.start; s < r.end; ++s) {
          parts[s] = scanChannels(src, stripeRows(s, stripes, src.rows));
        }
      },
      stripes);
  ChannelRanges ranges;
  for (const ChannelRanges& part : parts) {
    for (int k = 0; k < 3; ++k) {
      ranges[k].min = std::min(ranges[k].min, part[k].min);
      ranges[k].max = std::max(ranges[k].max, part[k].max);
    }
  }
  return ranges;
}

// dst(i, j, k) = tables[k][src(i, j, k)] for every sample, row stripes in parallel.
void applyTables(const cv::Mat& src, const std::array<Table, 3>& tables, cv::Mat& dst) {
  dst.create(src.size(), src.type());
  const int cols = src.cols;
  const uchar* t0 = tables[0].data();
  const uchar* t1 = tables[1].data();
  const uchar* t2 = tables[2].data();
  cv::parallel_for_(
      cv::Range(0, src.rows),
      [&](const cv::Range& rows) {
        for (int i = rows.start; i < rows.end; ++i) {
          const uchar* s = src.ptr<uchar>(i);
          uchar* d = dst.ptr<uchar>(i);
          for (int j = 0; j < cols; ++j, s += 3, d += 3) {
            d[0] = t0[s[0]];
            d[1] = t1[s[1]];
            d[2] = t2[s[2]];
          }
        }
      },
      stripeCount(src));
}

}  // namespace

void filterStretchC(const cv::Mat& src, int value, cv::Mat& dst) {
  CV_Assert(src.type() == CV_8UC3);
  const ChannelRanges ranges = channelRanges(src);
  const std::array<Table, 3> tables = {stretchTable(value, ranges[0]),
                                       stretchTable(value, ranges[1]),
                                       stretchTable(value, ranges[2])};
  applyTables(src, tables, dst);
}

void filterStretchP(const cv::Mat& src, int value, cv::Mat& dst, cv::Mat& gray) {
  CV_Assert(src.type() == CV_8UC3);
  cv::cvtColor(src, gray, cv::COLOR_BGR2GRAY);
  double min = 255;
  double max = 0;
  cv::minMaxIdx(gray, &min, &max);
  const SampleRange range{static_cast<int>(min), static_cast<int>(max)};
  const Table table = stretchTable(value, range);
  applyTables(src, {table, table, table}, dst);
}

void onStretchC(int, void*) {
  beginStage(kStretchCStage);
  filterStretchC(srcImage, stretchCValue, dstImage);
  showResult();
}

void onStretchP(int, void*) {
  beginStage(kStretchPStage);
  filterStretchP(srcImage, stretchPValue, dstImage, grayImage);
  showResult();
}
