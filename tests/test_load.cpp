// Opening the photo: what is not a regular file, the memory guard, metadata read at open.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>

#include "photo/load.hpp"
#include "tests/test_images.hpp"

TEST(Load, WhatIsNotARegularFileIsRefusedAtOnce) {
  const std::string fifo = "/tmp/lumivet-load-" + std::to_string(getpid()) + ".png";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {fifo, std::string("/dev/zero"), std::string("/tmp")}) {
    const LoadedPhoto photo = loadPhoto(path, 0);  // a fifo read as a file would hang here
    EXPECT_TRUE(photo.image.empty()) << path;
    EXPECT_NE(photo.error.find("could not be read as an image"), std::string::npos) << path;
  }
  ::unlink(fifo.c_str());
}

TEST(Load, ThePhotoIsRefusedBeforeDecodingWhenTheSessionWouldNotFitInMemory) {
  // A 4000x3000 PNG whose header says so; the guard never decodes it, so its data may be bad.
  const std::string path = "/tmp/lumivet-load-" + std::to_string(getpid()) + "-big.png";
  ASSERT_TRUE(cv::imwrite(path, cv::Mat(3000, 4000, CV_8UC3, cv::Scalar(1, 2, 3))));
  const std::uint64_t needed = sessionMemory({4000, 3000});
  EXPECT_EQ(needed, 180000000u);  // five times 36 MB
  const struct {
    std::uint64_t limit;
    bool opens;
  } cases[] = {{needed - 1, false}, {needed, true}, {0, true}};
  for (const auto& [limit, opens] : cases) {
    const LoadedPhoto photo = loadPhoto(path, limit);
    EXPECT_EQ(!photo.image.empty(), opens) << limit;
    EXPECT_EQ(
        photo.error.find("4000x3000 pixels; editing it needs about 180 MB") != std::string::npos,
        !opens)
        << photo.error;
  }
  ::unlink(path.c_str());
  EXPECT_GT(availableMemory(), 0u);
}
