// Area averaging in whole numbers, a histogram, and clipping marks.
//
// Along one axis, n source pixels become m (m <= n). With g = gcd(n, m), a source pixel is m / g
// units long and a pixel of the picture n / g units, so every overlap is a whole number of units:
// pixel d covers [d n/g, (d + 1) n/g) and source pixel s covers [s m/g, (s + 1) m/g). A pixel of
// the picture is the sum of its samples, each times the overlap along x times the overlap along y,
// divided by the product of the two totals and rounded.
#include "pipeline/scaling.hpp"

#include <algorithm>
#include <mutex>
#include <numeric>
#include <opencv2/core/utility.hpp>

namespace {

AreaScaling::Axis axisOf(int n, int m) {
  AreaScaling::Axis axis;
  const int g = std::gcd(n, m);
  const int64_t source = m / g, cell = n / g;  // lengths in units
  axis.fullWeight = static_cast<uint32_t>(source);
  axis.total = static_cast<uint32_t>(cell);
  for (int d = 0; d < m; ++d) {
    const int64_t begin = d * cell, end = begin + cell;
    const int first = static_cast<int>(begin / source);
    const int last = static_cast<int>((end + source - 1) / source) - 1;
    const auto overlap = [&](int64_t s) {
      return static_cast<uint32_t>(std::min((s + 1) * source, end) - std::max(s * source, begin));
    };
    axis.first.push_back(first);
    axis.count.push_back(last - first + 1);
    axis.firstWeight.push_back(overlap(first));
    axis.lastWeight.push_back(overlap(last));
    axis.span = std::max(axis.span, last - first + 1);
  }
  for (int d = 0; d < m; ++d) {
    const int start = std::min(axis.first[d], n - axis.span);
    axis.spanStart.push_back(start);
    for (int s = start; s < start + axis.span; ++s) {
      const int k = s - axis.first[d], count = axis.count[d];
      axis.spanWeights.push_back(k < 0 || k >= count ? 0
                                 : count == 1        ? axis.total
                                 : k == 0            ? axis.firstWeight[d]
                                 : k == count - 1    ? axis.lastWeight[d]
                                                     : axis.fullWeight);
    }
  }
  return axis;
}

// Rows of the picture one at a time: the source rows under a row are first summed down each
// column, weighted along y, then the column sums are summed along x. The loops down the columns
// run over contiguous samples and vectorise; a map goes through a row buffer first.
class RowScaler {
 public:
  RowScaler(const AreaScaling::Axis& x, const AreaScaling::Axis& y, const cv::Mat& src, int step,
            const uchar* map, bool marks)
      : x_(x),
        y_(y),
        src_(src),
        step_(step),
        map_(map),
        marks_(marks),
        columns_(3 * static_cast<int>(x.first.empty() ? 0 : x.first.back() + x.count.back())),
        sums_(columns_),
        middle_(columns_),
        mapped_(map || step > 1 ? columns_ : 0),
        lows_(marks ? columns_ : 0),
        highs_(marks ? columns_ : 0),
        inverse_(1.0 / (double(x.total) * y.total)),
        form_(formOf(map, low_, high_, stairs_)) {}

  void row(int y, uchar* out, uchar* marks) {
    // The rows between the first and the last all have the full weight: they are added up in
    // 16 bits (at most 257 rows of 255 at a time) and weighted once.
    const int n = y_.count[y], first = y_.first[y];
    addRow(first, n == 1 ? y_.total : y_.firstWeight[y], true);
    for (int k = 1; k + 1 < n; k += kRowsIn16Bits) {
      std::fill(middle_.begin(), middle_.end(), 0);
      for (int i = k; i < std::min(n - 1, k + kRowsIn16Bits); ++i) addMiddleRow(first + i);
      const uint32_t weight = y_.fullWeight;
      for (int j = 0; j < columns_; ++j) sums_[j] += weight * middle_[j];
    }
    if (n > 1) addRow(first + n - 1, y_.lastWeight[y], false);
    const uint32_t* sums = sums_.data();
    const int width = static_cast<int>(x_.first.size()), span = x_.span;
    const uint32_t* weights = x_.spanWeights.data();
    for (int d = 0; d < width; ++d, weights += span) {
      const uint32_t* p = sums + 3 * x_.spanStart[d];
      uint64_t b = 0, g = 0, r = 0;
      for (int k = 0; k < span; ++k, p += 3) {
        b += uint64_t(weights[k]) * p[0];
        g += uint64_t(weights[k]) * p[1];
        r += uint64_t(weights[k]) * p[2];
      }
      // Rounding half up: sum / total lies at least 1 / total from any other half, far beyond the
      // error of the double arithmetic, and the quarter moves exact halves up.
      out[3 * d] = static_cast<uchar>((double(int64_t(b)) + 0.25) * inverse_ + 0.5);
      out[3 * d + 1] = static_cast<uchar>((double(int64_t(g)) + 0.25) * inverse_ + 0.5);
      out[3 * d + 2] = static_cast<uchar>((double(int64_t(r)) + 0.25) * inverse_ + 0.5);
      if (marks) {
        const int first = 3 * x_.first[d], end = first + 3 * x_.count[d];
        uchar low = 255, high = 0;
        for (int i = first; i < end; ++i) {
          low = std::min(low, lows_[i]);
          high = std::max(high, highs_[i]);
        }
        marks[d] =
            static_cast<uchar>((low == 0 ? kCoversBlack : 0) | (high == 255 ? kCoversWhite : 0));
      }
    }
  }

 private:
  static constexpr int kRowsIn16Bits = 257;

  // Source row y of the grid scaled, its samples taken at the step and mapped when there is a
  // map. Locals, so that the compiler need not reload them after every byte written.
  const uchar* mapped(int y) {
    const uchar* s = src_.ptr<uchar>(y * step_);
    if (!map_ && step_ == 1) return s;
    uchar* mapped = mapped_.data();
    if (step_ > 1) {
      const int stride = 3 * step_;
      for (int j = 0, pixels = columns_ / 3; j < pixels; ++j, s += stride) {
        for (int c = 0; c < 3; ++c) mapped[3 * j + c] = map_ ? map_[s[c]] : s[c];
      }
    } else if (form_ == MapForm::kKeepRange) {
      // Compared rather than looked up, which vectorises: sample - low wraps above the width of
      // the range for samples below it.
      const uchar low = low_, width = uchar(high_ - low_);
      for (int j = 0, columns = columns_; j < columns; ++j) {
        const uchar v = s[j];
        mapped[j] = uchar(v & -uchar(uchar(v - low) <= width));
      }
    } else if (form_ == MapForm::kCap) {
      const uchar cap = high_;
      for (int j = 0, columns = columns_; j < columns; ++j) mapped[j] = std::min(s[j], cap);
    } else if (form_ == MapForm::kStairs) {
      // One pass over the row a stair: each adds its rise to the samples at or above it.
      std::fill(mapped, mapped + columns_, map_[0]);
      for (const auto& [at, rise] : stairs_) {
        for (int j = 0, columns = columns_; j < columns; ++j)
          mapped[j] = uchar(mapped[j] + (rise & -uchar(s[j] >= at)));
      }
    } else {
      const uchar* map = map_;
      for (int j = 0, columns = columns_; j < columns; ++j) mapped[j] = map[s[j]];
    }
    return mapped;
  }

  // How a map is applied. The maps of the cut-offs and of the smoothing's neighbour terms are
  // compared rather than looked up, which vectorises: kKeepRange keeps the samples in [low, high]
  // (low at least 1) and makes the others 0; kCap makes every sample at most `high`; kStairs,
  // a map that never falls and rises at few samples, is map[0] plus the rise at each of those
  // samples that a sample reaches.
  enum class MapForm { kLookup, kKeepRange, kCap, kStairs };
  static constexpr std::size_t kMostStairs = 16;
  static MapForm formOf(const uchar* map, uchar& low, uchar& high,
                        std::vector<std::pair<uchar, uchar>>& stairs) {
    if (!map) return MapForm::kLookup;
    bool rising = true;
    for (int v = 1; v < 256 && rising && stairs.size() <= kMostStairs; ++v) {
      rising = map[v] >= map[v - 1];
      if (map[v] > map[v - 1]) stairs.emplace_back(uchar(v), uchar(map[v] - map[v - 1]));
    }
    if (rising && stairs.size() <= kMostStairs) return MapForm::kStairs;
    stairs.clear();
    bool cap = true;
    for (int v = 0; v < 256 && cap; ++v) cap = map[v] == std::min(v, int(map[255]));
    if (cap) {
      high = map[255];
      return MapForm::kCap;
    }
    int first = 0, last = 0;
    for (int v = 1; v < 256; ++v) {
      if (map[v] != v) continue;
      if (first == 0) first = v;
      last = v;
    }
    if (first == 0) return MapForm::kLookup;
    for (int v = 0; v < 256; ++v) {
      if (map[v] != (v >= first && v <= last ? v : 0)) return MapForm::kLookup;
    }
    low = uchar(first), high = uchar(last);
    return MapForm::kKeepRange;
  }

  void addMiddleRow(int y) {
    const uchar* s = mapped(y);
    uint16_t* middle = middle_.data();
    for (int j = 0, columns = columns_; j < columns; ++j) middle[j] = uint16_t(middle[j] + s[j]);
    extremes(s, false);
  }

  void addRow(int y, uint32_t weight, bool first) {
    const int columns = columns_;
    const uchar* s = mapped(y);
    uint32_t* sums = sums_.data();
    if (first) {
      for (int j = 0; j < columns; ++j) sums[j] = weight * s[j];
    } else {
      for (int j = 0; j < columns; ++j) sums[j] += weight * s[j];
    }
    extremes(s, first);
  }

  // The least and greatest sample of each column so far, for the marks.
  void extremes(const uchar* s, bool first) {
    if (!marks_) return;
    uchar* lows = lows_.data();
    uchar* highs = highs_.data();
    if (first) {
      std::copy(s, s + columns_, lows);
      std::copy(s, s + columns_, highs);
    } else {
      for (int j = 0, columns = columns_; j < columns; ++j) {
        lows[j] = std::min(lows[j], s[j]);
        highs[j] = std::max(highs[j], s[j]);
      }
    }
  }

  const AreaScaling::Axis &x_, &y_;
  const cv::Mat& src_;
  const int step_;
  const uchar* map_;
  const bool marks_;
  const int columns_;
  std::vector<uint32_t> sums_;
  std::vector<uint16_t> middle_;
  std::vector<uchar> mapped_, lows_, highs_;
  const double inverse_;
  uchar low_ = 0, high_ = 0;                     // of the map's form
  std::vector<std::pair<uchar, uchar>> stairs_;  // where a map of stairs rises, and by how much
  const MapForm form_;
};

}  // namespace

uint64_t Histogram::samples() const {
  uint64_t total = 0;
  for (const auto& channel : counts) total = std::accumulate(channel.begin(), channel.end(), total);
  return total;
}

Histogram histogramOf(const cv::Mat& image) {
  CV_Assert(image.empty() || image.type() == CV_8UC3);
  Histogram histogram;
  std::mutex mutex;
  cv::parallel_for_(
      cv::Range(0, image.rows),
      [&](const cv::Range& rows) {
        std::array<std::array<uint32_t, 256>, 3> counts{};
        for (int i = rows.start; i < rows.end; ++i) {
          const uchar* p = image.ptr<uchar>(i);
          for (int j = 0; j < image.cols; ++j, p += 3) {
            ++counts[0][p[0]];
            ++counts[1][p[1]];
            ++counts[2][p[2]];
          }
        }
        std::lock_guard<std::mutex> lock(mutex);
        for (int c = 0; c < 3; ++c)
          for (int v = 0; v < 256; ++v) histogram.counts[c][v] += counts[c][v];
      },
      std::max(1.0, image.total() / 262144.0));
  return histogram;
}

AreaScaling::AreaScaling(cv::Size from, cv::Size to, int step)
    : from_(from),
      to_(to),
      step_(step),
      x_(axisOf(from.width, to.width)),
      y_(axisOf(from.height, to.height)) {
  CV_Assert(to.width > 0 && to.height > 0 && to.width <= from.width && to.height <= from.height &&
            step >= 1);
}

void AreaScaling::scale(const cv::Mat& src, cv::Mat& dst, const cv::Range& rows, const uchar* map,
                        cv::Mat* marks) const {
  CV_Assert(src.type() == CV_8UC3 && src.cols >= from_.width * step_ &&
            src.rows >= from_.height * step_ && (step_ > 1 || src.size() == from_) &&
            dst.type() == CV_8UC3 && dst.size() == to_ && 0 <= rows.start &&
            rows.end <= to_.height);
  CV_Assert(!marks || (marks->type() == CV_8U && marks->size() == to_));
  if (rows.empty()) return;
  const double stripes = std::max(1, std::min(rows.size(), 4 * cv::getNumThreads()));
  cv::parallel_for_(
      rows,
      [&](const cv::Range& part) {
        RowScaler scaler(x_, y_, src, step_, map, marks != nullptr);
        for (int y = part.start; y < part.end; ++y)
          scaler.row(y, dst.ptr<uchar>(y), marks ? marks->ptr<uchar>(y) : nullptr);
      },
      stripes);
}

int AreaScaling::rowsComplete(int sourceRows) const {
  int done = 0;
  while (done < to_.height && y_.first[done] + y_.count[done] <= sourceRows) ++done;
  return done;
}

cv::Mat areaScaled(const cv::Mat& image, cv::Size size) {
  if (image.size() == size) return image.clone();
  cv::Mat scaled(size, CV_8UC3);
  AreaScaling(image.size(), size).scale(image, scaled, cv::Range(0, size.height));
  return scaled;
}
