// Area scaling against its literal definition (each pixel the area-weighted mean of the samples it
// covers, halves up), clipping marks that isolated samples set, rows scaled in parts, maps, and
// the histogram.
#include <gtest/gtest.h>

#include "pipeline/scaling.hpp"
#include "tests/test_images.hpp"

namespace {

// The literal scaling and marks: overlaps in units of 1/(w h) of a source pixel, summed in doubles
// (whole numbers, exact), and a mark wherever a covered sample is 0 or 255.
void literalScaling(const cv::Mat& src, cv::Size to, cv::Mat& dst, cv::Mat& marks) {
  dst.create(to, CV_8UC3);
  marks = cv::Mat::zeros(to, CV_8U);
  const long W = src.cols, H = src.rows, w = to.width, h = to.height;
  const auto overlap = [](long s, long d, long source, long cell) {
    return std::max(0L,
                    std::min((s + 1) * source, (d + 1) * cell) - std::max(s * source, d * cell));
  };
  for (long y = 0; y < h; ++y) {
    for (long x = 0; x < w; ++x) {
      double sums[3] = {0, 0, 0};
      for (long sy = 0; sy < H; ++sy) {
        for (long sx = 0; sx < W; ++sx) {
          const long area = overlap(sx, x, w, W) * overlap(sy, y, h, H);
          if (area == 0) continue;
          for (int c = 0; c < 3; ++c) {
            const uchar v = src.at<cv::Vec3b>(int(sy), int(sx))[c];
            sums[c] += double(area) * v;
            if (v == 0) marks.at<uchar>(int(y), int(x)) |= kCoversBlack;
            if (v == 255) marks.at<uchar>(int(y), int(x)) |= kCoversWhite;
          }
        }
      }
      for (int c = 0; c < 3; ++c)
        dst.at<cv::Vec3b>(int(y), int(x))[c] = uchar(std::floor(sums[c] / double(W * H) + 0.5));
    }
  }
}

}  // namespace

TEST(AreaScaling, EqualsItsDefinitionInPartsMarksIsolatedSamplesAndMaps) {
  const std::vector<std::pair<cv::Size, cv::Size>> cases = {
      {{37, 29}, {10, 7}}, {{40, 30}, {20, 15}}, {{17, 13}, {17, 13}},
      {{50, 21}, {3, 2}},  {{31, 31}, {30, 29}}, {{64, 48}, {1, 1}}};
  for (const auto& [from, to] : cases) {
    // Mid-tones with one sample at 255 and one at 0, which averaging hides.
    cv::Mat photo = makeRandom(from.height, from.width) / 2 + cv::Scalar::all(64);
    photo.at<cv::Vec3b>(from.height / 3, from.width / 2)[2] = 255;
    photo.at<cv::Vec3b>(from.height - 1, 0)[1] = 0;
    cv::Mat expected, expectedMarks;
    literalScaling(photo, to, expected, expectedMarks);
    const AreaScaling scaling(from, to);
    cv::Mat picture(to, CV_8UC3), marks(to, CV_8U);
    // Rows in parts, each from the whole source: the same as at once.
    for (const cv::Range& rows : {cv::Range(0, to.height / 2), cv::Range(to.height / 2, to.height)})
      scaling.scale(photo, picture, rows, nullptr, &marks);
    EXPECT_EQ(countDifferences(picture, expected), 0) << from << " to " << to;
    EXPECT_EQ(cv::countNonZero(marks != expectedMarks), 0) << from << " to " << to;
    ASSERT_GT(cv::countNonZero(expectedMarks), 0);

    // A row is complete once the rows under it are: the rest of the source does not matter.
    const int rows = scaling.rowsComplete(from.height / 2);
    cv::Mat half = photo.clone();
    half.rowRange(from.height / 2, from.height).setTo(0);
    scaling.scale(half, picture, cv::Range(0, rows));
    EXPECT_EQ(countDifferences(picture.rowRange(0, rows), expected.rowRange(0, rows)), 0);

    // Maps, and a step: the grid of every other sample of every other row, mapped. The cut-offs'
    // maps keep one range of samples (the top, the middle) and make the rest 0, or cap them (at
    // 150, at 0); the smoothing's rise in stairs; any other map is looked up.
    std::array<std::array<uchar, 256>, 6> maps;
    for (int v = 0; v < 256; ++v) {
      maps[0][v] = uchar(v > 100 ? v : 0);
      maps[1][v] = uchar(v >= 70 && v <= 90 ? v : 0);
      maps[2][v] = uchar(std::min(v, 150));
      maps[3][v] = 0;
      maps[4][v] = uchar(5 + 23 * (v / 25));
      maps[5][v] = uchar(v == 80 ? 80 : 255 - v);
    }
    for (const auto& map : maps) {
      cv::Mat mapped, grid(from.height / 2, from.width / 2, CV_8UC3);
      cv::LUT(photo, cv::Mat(1, 256, CV_8U, const_cast<uchar*>(map.data())), mapped);
      scaling.scale(photo, picture, cv::Range(0, to.height), map.data());
      EXPECT_EQ(countDifferences(picture, areaScaled(mapped, to)), 0)
          << int(map[200]) << int(map[80]);
      for (int i = 0; i < grid.rows; ++i)
        for (int j = 0; j < grid.cols; ++j)
          grid.at<cv::Vec3b>(i, j) = mapped.at<cv::Vec3b>(2 * i, 2 * j);
      const cv::Size smaller(std::min(to.width, grid.cols), std::min(to.height, grid.rows));
      cv::Mat sampled(smaller, CV_8UC3);
      AreaScaling(grid.size(), smaller, 2)
          .scale(photo, sampled, cv::Range(0, smaller.height), map.data());
      EXPECT_EQ(countDifferences(sampled, areaScaled(grid, smaller)), 0) << from << " by 2";
    }
  }
}

TEST(AreaScaling, HistogramCountsEverySample) {
  cv::Mat image = makeRandom(61, 43);
  image.at<cv::Vec3b>(5, 5) = cv::Vec3b(0, 255, 7);
  const Histogram histogram = histogramOf(image);
  Histogram literal;
  for (int i = 0; i < image.rows; ++i)
    for (int j = 0; j < image.cols; ++j)
      for (int c = 0; c < 3; ++c) ++literal.counts[c][image.at<cv::Vec3b>(i, j)[c]];
  EXPECT_EQ(histogram.counts, literal.counts);
  EXPECT_EQ(histogram.samples(), 61u * 43u * 3u);
}
