// Output naming and the atomic save.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "app/output_name.hpp"
#include "app/save.hpp"
#include "tests/test_images.hpp"

TEST(OutputName, CutsTheExtensionOfTheFileNameOnly) {
  EXPECT_EQ(outputPathFor("/p/cat.png"), "/p/cat_.jpg");
  EXPECT_EQ(outputPathFor("/p/pics.old/cat.png"), "/p/pics.old/cat_.jpg");
  EXPECT_EQ(outputPathFor("/p/pics.old/scan"), "/p/pics.old/scan_.jpg");
  EXPECT_EQ(outputPathFor("/p/a.b.png"), "/p/a.b_.jpg");
  EXPECT_EQ(outputPathFor("/p/.hidden"), "/p/.hidden_.jpg");
  EXPECT_EQ(outputPathFor("/p/.hidden.png"), "/p/.hidden_.jpg");
  EXPECT_EQ(outputPathFor("photo.jpg"), "photo_.jpg");
  EXPECT_EQ(outputPathFor("./photo.jpg"), "./photo_.jpg");
  EXPECT_EQ(outputPathFor("/p/Ünïcode фото.JPG"), "/p/Ünïcode фото_.jpg");
}

TEST(OutputName, NeverNamesTheInputAndKeepsLongPaths) {
  for (const char* input : {"/p/cat_.jpg", "/p/x.jpg", "/p/_.jpg", "/p/a_", "/p/..."}) {
    EXPECT_NE(outputPathFor(input), input);
  }
  const std::string longPath = "/p/" + std::string(300, 'x');
  EXPECT_EQ(outputPathFor(longPath), longPath + "_.jpg");
}

namespace {

class AtomicSave : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/lumivet-save-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    folder = pattern;
  }
  void TearDown() override {
    ::chmod(folder.c_str(), 0700);
    std::system(("rm -rf '" + folder + "'").c_str());
  }
  int filesInFolder() const {
    int count = 0;
    DIR* dir = ::opendir(folder.c_str());
    while (dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.' || entry->d_name[1] > '.';
    ::closedir(dir);
    return count;
  }
  std::string folder;
};

}  // namespace

TEST_F(AtomicSave, WritesTheSameBytesAsTheLibraryWriter) {
  const cv::Mat image = makePhoto(40, 60);
  std::vector<unsigned char> bytes;
  std::string error;
  ASSERT_TRUE(encodeJpeg(image, bytes, error)) << error;
  const std::string ours = folder + "/ours.jpg", theirs = folder + "/theirs.jpg";
  ASSERT_TRUE(writeFileAtomically(ours, bytes, error)) << error;
  ASSERT_TRUE(cv::imwrite(theirs, image));
  std::ifstream a(ours, std::ios::binary), b(theirs, std::ios::binary);
  const std::string da((std::istreambuf_iterator<char>(a)), {});
  const std::string db((std::istreambuf_iterator<char>(b)), {});
  EXPECT_EQ(da, db);
  EXPECT_EQ(filesInFolder(), 2);  // no temporary file left
}

TEST_F(AtomicSave, ReplacesAnExistingFileWhole) {
  const std::string path = folder + "/out.jpg";
  std::ofstream(path) << "an older, longer result that must vanish completely";
  std::string error;
  ASSERT_TRUE(writeFileAtomically(path, {1, 2, 3}, error)) << error;
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), "\x01\x02\x03");
}

TEST_F(AtomicSave, FailuresAreReportedAndLeaveNothingBehind) {
  std::string error;
  EXPECT_FALSE(writeFileAtomically(folder + "/missing/out.jpg", {1}, error));
  EXPECT_FALSE(error.empty());

  // A folder in place of the target: the rename fails and the temporary file is removed.
  const std::string taken = folder + "/taken.jpg";
  ::mkdir(taken.c_str(), 0700);
  error.clear();
  EXPECT_FALSE(writeFileAtomically(taken, {1}, error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(filesInFolder(), 1);

  if (::geteuid() != 0) {  // root writes into read-only folders anyway
    ::chmod(folder.c_str(), 0500);
    error.clear();
    EXPECT_FALSE(writeFileAtomically(folder + "/out.jpg", {1}, error));
    EXPECT_FALSE(error.empty());
  }

  std::vector<unsigned char> bytes;
  EXPECT_FALSE(encodeJpeg(cv::Mat(), bytes, error));
}
