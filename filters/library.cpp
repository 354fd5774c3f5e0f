// Library-backed stages and their slider handlers.
#include "filters/library.hpp"

#include <opencv2/imgproc.hpp>

#include "pipeline/stages.hpp"

void filterBilateral(const cv::Mat& src, int value, cv::Mat& dst) {
  cv::bilateralFilter(src, dst, 2 * value + 1, 4.0 * value + 1.0, value + 1.0, cv::BORDER_DEFAULT);
}

void filterBlur(const cv::Mat& src, int value, cv::Mat& dst) {
  const int size = 2 * value + 1;
  cv::GaussianBlur(src, dst, cv::Size(size, size), 0.0, 0.0, cv::BORDER_DEFAULT);
}

void filterWhiteToZero(const cv::Mat& src, int value, cv::Mat& dst) {
  cv::threshold(src, dst, value, 0.0, cv::THRESH_TRUNC);
}

void filterBlackToZero(const cv::Mat& src, int value, cv::Mat& dst) {
  cv::threshold(src, dst, value, 0.0, cv::THRESH_TOZERO);
}

// A band of rows: the source band is a view of the whole source, so the filters read the rows
// around it for their borders, exactly as the whole-image call does.
void filterBilateralRows(const cv::Mat& src, int value, cv::Mat& dst, const cv::Range& rows) {
  cv::Mat out = dst.rowRange(rows);
  filterBilateral(src.rowRange(rows), value, out);
}

// The blur, given a band as a view of the whole source, does not always give the whole-image
// call's samples (it differs when the kernel reaches past the view into the rows around it). So
// it filters the band and the rows its kernel reaches as an image of its own (reflected at the
// photo's own top and bottom only, where the photo ends) into a scratch image, and keeps the band.
void filterBlurRows(const cv::Mat& src, int value, cv::Mat& dst, const cv::Range& rows) {
  const int reach = value + 1;
  const cv::Range context(std::max(0, rows.start - reach), std::min(src.rows, rows.end + reach));
  cv::Mat blurred;
  const int size = 2 * value + 1;
  cv::GaussianBlur(src.rowRange(context), blurred, cv::Size(size, size), 0.0, 0.0,
                   cv::BORDER_DEFAULT | cv::BORDER_ISOLATED);
  blurred.rowRange(rows.start - context.start, rows.end - context.start).copyTo(dst.rowRange(rows));
}

void filterWhiteToZeroRows(const cv::Mat& src, int value, cv::Mat& dst, const cv::Range& rows) {
  cv::Mat out = dst.rowRange(rows);
  filterWhiteToZero(src.rowRange(rows), value, out);
}

void filterBlackToZeroRows(const cv::Mat& src, int value, cv::Mat& dst, const cv::Range& rows) {
  cv::Mat out = dst.rowRange(rows);
  filterBlackToZero(src.rowRange(rows), value, out);
}

void onBilateral(int, void*) {
  beginStage(kBilateralStage);
  const int value = bilateralValue;
  runStage(value, [value](const cv::Range& rows) {
    filterBilateralRows(srcImage, value, nextImage, rows);
  });
}

void onBlur(int, void*) {
  beginStage(kBlurStage);
  const int value = blurValue;
  runStage(value,
           [value](const cv::Range& rows) { filterBlurRows(srcImage, value, nextImage, rows); });
}

void onWhiteToZero(int, void*) {
  beginStage(kWhiteToZeroStage);
  const int value = whiteValue;
  runStage(value, [value](const cv::Range& rows) {
    filterWhiteToZeroRows(srcImage, value, nextImage, rows);
  });
}

void onBlackToZero(int, void*) {
  beginStage(kBlackToZeroStage);
  const int value = blackValue;
  runStage(value, [value](const cv::Range& rows) {
    filterBlackToZeroRows(srcImage, value, nextImage, rows);
  });
}
