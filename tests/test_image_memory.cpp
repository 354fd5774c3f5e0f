// Large images on memory of their own: the same layout and the same results as the library's own
// allocator gives, at every size around the threshold and in more than two dimensions.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <opencv2/imgproc.hpp>

#include "pipeline/image_memory.hpp"

namespace {

struct Made {
  cv::Mat blurred, wide, cube;
};

// Images of the library's making, from allocation to results: a photo-sized blur, a float
// conversion and a three-dimensional image, with a region and a reshape of one of them.
Made make(const cv::Mat& photo) {
  Made made;
  cv::GaussianBlur(photo, made.blurred, cv::Size(0, 0), 3);
  made.blurred.convertTo(made.wide, CV_32FC3, 0.5);
  const int sizes[] = {8, 128, 600};
  made.cube.create(3, sizes, CV_32F);
  made.cube = 1.5f;
  made.cube.at<float>(7, 127, 599) = 2;
  cv::Mat region = made.wide(cv::Rect(3, 5, 200, 100));
  region += cv::Scalar(1, 2, 3);
  made.wide = made.wide.reshape(1);
  return made;
}

bool same(const cv::Mat& a, const cv::Mat& b) {
  return a.size == b.size && a.type() == b.type() &&
         std::equal(a.step.p, a.step.p + a.dims, b.step.p) && cv::norm(a, b, cv::NORM_INF) == 0;
}

}  // namespace

TEST(ImageMemory, LargeImagesAreHugePageAlignedAndBehaveAsTheLibrarysOwn) {
  cv::Mat photo(1500, 2000, CV_8UC3);
  cv::randu(photo, 0, 256);
  const Made expected = make(photo);

  useHugePagesForLargeImages();
  const Made made = make(photo);
  // Just below, at and above the threshold, and a photo: only the large ones are mapped anew.
  for (const std::size_t bytes : {kHugePageBytes - 1, kHugePageBytes, std::size_t(36e6) + 1}) {
    const cv::Mat image(1, int(bytes), CV_8U);
    const bool own = image.u->currAllocator != cv::Mat::getStdAllocator();
    EXPECT_EQ(own, bytes >= kHugePageBytes) << bytes;
    if (own) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(image.data) % kHugePageBytes, 0u);
    }
  }
  // The memory of a window-sized picture serves the next one of its size, until the session
  // rests and gives it back to the system.
  uchar* first = cv::Mat(1080, 1440, CV_8UC3).data;
  EXPECT_EQ(cv::Mat(1080, 1440, CV_8UC3).data, first);
  const auto mapped = [first] { return ::msync(first, kHugePageBytes, MS_ASYNC) == 0; };
  EXPECT_TRUE(mapped());
  releaseKeptImageMemory();
  EXPECT_FALSE(mapped());
  const cv::Mat kept = made.blurred(cv::Rect(10, 10, 50, 50)).clone();
  EXPECT_TRUE(same(made.blurred, expected.blurred));
  EXPECT_TRUE(same(made.wide, expected.wide));
  EXPECT_TRUE(same(made.cube, expected.cube));
  // An image on memory given by its caller stays there.
  std::vector<uchar> given(kHugePageBytes * 2);
  cv::Mat onGiven(1, int(given.size()), CV_8U, given.data());
  onGiven.setTo(7);
  EXPECT_EQ(given.back(), 7);
  EXPECT_TRUE(same(kept, expected.blurred(cv::Rect(10, 10, 50, 50)).clone()));
  cv::Mat::setDefaultAllocator(cv::Mat::getStdAllocator());
}
