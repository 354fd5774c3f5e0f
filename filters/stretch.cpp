// Contrast stretch filters. The mapping depends only on the sample value
// once the range is known, so each run scans the range, tabulates the mapping for all 256 values
// with the exact double arithmetic and then only looks samples up in those tables.
#include "filters/stretch.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

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

// Per-channel range of rows [rows.start, rows.end). Blocks of 48 bytes (16 pixels) go through
// three vector minima and maxima; byte b of a block belongs to channel b % 3, as does byte b of a
// row, so the lanes fold into the channels at the end.
ChannelRanges scanChannels(const cv::Mat& src, cv::Range rows) {
  constexpr int kLanes = cv::v_uint8x16::nlanes;
  constexpr int kBlock = 3 * kLanes;
  cv::v_uint8x16 lo[3] = {cv::v_setall_u8(255), cv::v_setall_u8(255), cv::v_setall_u8(255)};
  cv::v_uint8x16 hi[3] = {cv::v_setzero_u8(), cv::v_setzero_u8(), cv::v_setzero_u8()};
  const int width = src.cols * 3;
  const int blocked = width - width % kBlock;
  ChannelRanges ranges;
  for (int i = rows.start; i < rows.end; ++i) {
    const uchar* row = src.ptr<uchar>(i);
    for (int n = 0; n < blocked; n += kBlock) {
      for (int m = 0; m < 3; ++m) {
        const cv::v_uint8x16 v = cv::v_load(row + n + m * kLanes);
        lo[m] = cv::v_min(lo[m], v);
        hi[m] = cv::v_max(hi[m], v);
      }
    }
    for (int n = blocked; n < width; ++n) {
      SampleRange& range = ranges[n % 3];
      range.min = std::min<int>(range.min, row[n]);
      range.max = std::max<int>(range.max, row[n]);
    }
  }
  uchar loBytes[kBlock];
  uchar hiBytes[kBlock];
  for (int m = 0; m < 3; ++m) {
    cv::v_store(loBytes + m * kLanes, lo[m]);
    cv::v_store(hiBytes + m * kLanes, hi[m]);
  }
  for (int b = 0; b < kBlock; ++b) {
    SampleRange& range = ranges[b % 3];
    range.min = std::min<int>(range.min, loBytes[b]);
    range.max = std::max<int>(range.max, hiBytes[b]);
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

// Outputs of two neighbouring samples, looked up together: one lookup and one two-byte store per
// pair of samples instead of two of each, which is what bounds the mapping pass. A pair table is
// indexed by the two input bytes read as one 16-bit key, in whatever byte order the machine has.
using Pair = std::array<uchar, 2>;
using PairTable = std::vector<Pair>;

inline uint16_t pairKey(const uchar* bytes) {
  uint16_t key;
  std::memcpy(&key, bytes, sizeof key);
  return key;
}

PairTable pairTable(const Table& first, const Table& second) {
  PairTable pairs(256 * 256);
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      const uchar bytes[2] = {static_cast<uchar>(a), static_cast<uchar>(b)};
      pairs[pairKey(bytes)] = {first[a], second[b]};
    }
  }
  return pairs;
}

StretchMap makeMap(const std::array<Table, 3>& tables) {
  StretchMap map;
  map.tables = tables;
  map.shared = tables[0] == tables[1] && tables[1] == tables[2];
  map.pairs01 = pairTable(tables[0], tables[1]);
  if (!map.shared) {
    map.pairs20 = pairTable(tables[2], tables[0]);
    map.pairs12 = pairTable(tables[1], tables[2]);
  }
  return map;
}

}  // namespace

StretchMap stretchCMap(const cv::Mat& src, int value) {
  CV_Assert(src.type() == CV_8UC3);
  const ChannelRanges ranges = channelRanges(src);
  return makeMap({stretchTable(value, ranges[0]), stretchTable(value, ranges[1]),
                  stretchTable(value, ranges[2])});
}

StretchMap stretchPMap(const cv::Mat& src, int value, cv::Mat& gray) {
  CV_Assert(src.type() == CV_8UC3);
  cv::cvtColor(src, gray, cv::COLOR_BGR2GRAY);
  double min = 255;
  double max = 0;
  cv::minMaxIdx(gray, &min, &max);
  const Table table = stretchTable(value, {static_cast<int>(min), static_cast<int>(max)});
  return makeMap({table, table, table});
}

// dst(i, j, k) = tables[k][src(i, j, k)] for every sample of the band, row stripes in parallel.
// A row starts at channel 0, so its sample pairs repeat the channel pattern (0, 1), (2, 0),
// (1, 2) every two pixels.
void filterStretchRows(const cv::Mat& src, const StretchMap& map, cv::Mat& dst,
                       const cv::Range& rows) {
  CV_Assert(src.type() == CV_8UC3 && dst.size() == src.size() && dst.type() == src.type());
  const cv::Mat band = src.rowRange(rows);
  cv::parallel_for_(
      rows,
      [&](const cv::Range& stripe) {
        // Locals, not captures: the byte stores below could otherwise alias them, and the
        // compiler would reload every one of them after each store.
        const Pair* pairs0 = map.pairs01.data();
        const Pair* pairs1 = map.shared ? map.pairs01.data() : map.pairs20.data();
        const Pair* pairs2 = map.shared ? map.pairs01.data() : map.pairs12.data();
        const int width = src.cols * 3;
        const int paired = width - width % 6;
        for (int i = stripe.start; i < stripe.end; ++i) {
          const uchar* s = src.ptr<uchar>(i);
          uchar* d = dst.ptr<uchar>(i);
          int n = 0;
          for (; n < paired; n += 6) {
            std::memcpy(d + n, &pairs0[pairKey(s + n)], 2);
            std::memcpy(d + n + 2, &pairs1[pairKey(s + n + 2)], 2);
            std::memcpy(d + n + 4, &pairs2[pairKey(s + n + 4)], 2);
          }
          for (; n < width; ++n) d[n] = map.tables[n % 3][s[n]];
        }
      },
      stripeCount(band));
}

void filterStretchC(const cv::Mat& src, int value, cv::Mat& dst) {
  const StretchMap map = stretchCMap(src, value);
  dst.create(src.size(), src.type());
  filterStretchRows(src, map, dst, cv::Range(0, src.rows));
}

void filterStretchP(const cv::Mat& src, int value, cv::Mat& dst, cv::Mat& gray) {
  const StretchMap map = stretchPMap(src, value, gray);
  dst.create(src.size(), src.type());
  filterStretchRows(src, map, dst, cv::Range(0, src.rows));
}
