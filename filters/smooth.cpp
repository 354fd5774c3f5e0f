// Neighbourhood smoothing filter.
#include "filters/smooth.hpp"

#include <algorithm>
#include <cstdint>
#include <opencv2/core/utility.hpp>
#include <vector>

namespace {

// Half the window side: a sample is blended with the samples up to two pixels away.
constexpr int kRadius = 2;
constexpr int kWindow = 2 * kRadius + 1;

// The terms are written as 16-bit integer arithmetic, with divisions by constants done as
// multiply-high, so that the compiler turns the row loops into SIMD code; SSE2 has no byte
// gather, so table lookups would stay scalar and cost several times more.
inline uint16_t mulHigh(uint16_t a, uint16_t b) {
  return static_cast<uint16_t>((uint32_t(a) * b) >> 16);
}

// x / 100 truncated; exact for x up to 43698.
inline uint16_t hundredths(uint16_t x) {
  return static_cast<uint16_t>(mulHigh(x, 41944) >> 6);
}

// x / 100 rounded to the nearest integer, ties to even (x up to 25500): a remainder of 50 goes
// up only from an odd quotient.
//
// Both terms are defined as a double product or quotient that is rounded to float and then to
// a byte. Their exact values are whole hundredths, so the float step only turns near-ties such
// as 102.50000000000001 into true ties, and the result is always this integer rounding.
inline uint16_t roundPercent(uint16_t x) {
  const uint16_t odd = hundredths(x) & 1;
  return hundredths(static_cast<uint16_t>(x + 49 + odd));
}

// Base term of a sample v: (1 - c/100) v.
inline uint8_t baseTerm(uint8_t v, uint16_t keep) {
  return static_cast<uint8_t>(roundPercent(static_cast<uint16_t>(v * keep)));
}

// Neighbour term of a sample u: (c/100) times its count of whole 25s, so at most 10.
inline uint8_t neighbourTerm(uint8_t u, uint16_t value) {
  const uint16_t multiples = mulHigh(u, 2622);  // u / 25, exact for every byte
  return static_cast<uint8_t>(roundPercent(static_cast<uint16_t>(multiples * value)));
}

// Computes the inner rows [range.start, range.end) of dst. Every stripe keeps its own ring of
// the neighbour terms of the last five source rows and primes it from the rows above its first
// row, so stripes share nothing but the read-only source.
class SmoothRows : public cv::ParallelLoopBody {
 public:
  SmoothRows(const cv::Mat& src, int value, cv::Mat& dst) : src_(src), value_(value), dst_(dst) {}

  void operator()(const cv::Range& range) const override {
    const int n = src_.cols * src_.channels();
    const int step = src_.channels();
    // Samples with a full window: all but the two outermost pixels on each side of a row.
    const int first = kRadius * step;
    const int last = n - kRadius * step;
    const auto value = static_cast<uint16_t>(value_);
    const auto keep = static_cast<uint16_t>(100 - value_);

    std::vector<uint8_t> buffer(static_cast<size_t>(n) * (kWindow + 1));
    uint8_t* ring[kWindow];
    for (int r = 0; r < kWindow; ++r) ring[r] = buffer.data() + static_cast<size_t>(r) * n;
    // Per column, the sum of the five rows' neighbour terms: at most 5 x 10, so bytes suffice.
    uint8_t* columns = buffer.data() + static_cast<size_t>(kWindow) * n;

    // Ring slot row % 5 holds the neighbour terms of source row `row`.
    auto loadTerms = [&](int row) {
      const uint8_t* s = src_.ptr<uint8_t>(row);
      uint8_t* t = ring[row % kWindow];
      for (int x = 0; x < n; ++x) t[x] = neighbourTerm(s[x], value);
      return t;
    };
    for (int row = range.start - kRadius; row < range.start + kRadius; ++row) loadTerms(row);

    for (int i = range.start; i < range.end; ++i) {
      // The row entering the window replaces the one that left it.
      const uint8_t* t = loadTerms(i + kRadius);
      const uint8_t* t1 = ring[(i + kRadius + 1) % kWindow];
      const uint8_t* t2 = ring[(i + kRadius + 2) % kWindow];
      const uint8_t* t3 = ring[(i + kRadius + 3) % kWindow];
      const uint8_t* t4 = ring[(i + kRadius + 4) % kWindow];
      for (int x = 0; x < n; ++x) {
        columns[x] = static_cast<uint8_t>(t[x] + t1[x] + t2[x] + t3[x] + t4[x]);
      }

      // Window sum (at most 250) plus the base term. The few totals above 255, in bright
      // windows, saturate at white instead of wrapping to near black.
      const uint8_t* s = src_.ptr<uint8_t>(i);
      uint8_t* d = dst_.ptr<uint8_t>(i);
      const uint8_t* c = columns;
      for (int x = first; x < last; ++x) {
        const auto window = static_cast<uint8_t>(c[x - 2 * step] + c[x - step] + c[x] +
                                                 c[x + step] + c[x + 2 * step]);
        const uint8_t base = baseTerm(s[x], keep);
        const auto room = static_cast<uint8_t>(255 - base);
        d[x] = static_cast<uint8_t>(base + std::min(window, room));
      }
      std::copy(s, s + first, d);
      std::copy(s + last, s + n, d + last);
    }
  }

 private:
  const cv::Mat& src_;
  int value_;
  cv::Mat& dst_;
};

}  // namespace

void filterSmoothRows(const cv::Mat& src, int value, cv::Mat& dst, const cv::Range& band) {
  CV_Assert(src.type() == CV_8UC3 && 0 <= value && value <= 100);
  CV_Assert(dst.size() == src.size() && dst.type() == src.type() && dst.data != src.data);
  const int rows = src.rows;
  const bool tiny = rows < kWindow || src.cols < kWindow;
  // Rows without a full window keep the source's values.
  const int innerStart = tiny ? rows : std::max(band.start, kRadius);
  const int innerEnd = tiny ? rows : std::min(band.end, rows - kRadius);
  for (int i = band.start; i < band.end; ++i) {
    if (i < innerStart || i >= innerEnd) src.row(i).copyTo(dst.row(i));
  }
  if (innerStart >= innerEnd) return;
  // A few stripes per thread balance the load; each stripe re-reads four rows to prime itself.
  const double stripes = std::min((innerEnd - innerStart) / 16.0, 4.0 * cv::getNumThreads());
  cv::parallel_for_(cv::Range(innerStart, innerEnd), SmoothRows(src, value, dst),
                    std::max(stripes, 1.0));
}

void filterSmooth(const cv::Mat& src, int value, cv::Mat& dst) {
  // A result written over its own source would feed computed samples into later windows.
  const cv::Mat source = (!dst.empty() && dst.datastart == src.datastart) ? src.clone() : src;
  dst.create(source.size(), source.type());
  filterSmoothRows(source, value, dst, cv::Range(0, source.rows));
}

SmoothTerms smoothTerms(int value) {
  CV_Assert(0 <= value && value <= 100);
  SmoothTerms terms;
  for (int v = 0; v < 256; ++v) {
    terms.base[v] = baseTerm(static_cast<uint8_t>(v), static_cast<uint16_t>(100 - value));
    terms.neighbour[v] = neighbourTerm(static_cast<uint8_t>(v), static_cast<uint16_t>(value));
  }
  return terms;
}

void filterSmoothFlatRows(const cv::Mat& src, int value, cv::Mat& dst, const cv::Range& rows) {
  CV_Assert(src.type() == CV_8UC3);
  const SmoothTerms terms = smoothTerms(value);
  cv::Mat table(1, 256, CV_8U);
  for (int v = 0; v < 256; ++v)
    table.at<uchar>(v) =
        uchar(std::min(255, terms.base[v] + kWindow * kWindow * terms.neighbour[v]));
  cv::Mat out = dst.rowRange(rows);
  cv::LUT(src.rowRange(rows), table, out);
}
