// Output naming and the atomic save.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "photo/output_name.hpp"
#include "photo/save.hpp"
#include "tests/test_images.hpp"
#include "ui/desktop.hpp"

namespace fs = std::filesystem;

TEST(OutputName, CutsTheExtensionOfTheFileNameOnlyAndNeverNamesTheInput) {
  const std::pair<const char*, const char*> cases[] = {
      {"/p/pics.old/cat.png", "/p/pics.old/cat_.jpg"},
      {"/p/pics.old/scan", "/p/pics.old/scan_.jpg"},
      {"/p/a.b.JPG", "/p/a.b_.jpg"},
      {"/p/.hidden", "/p/.hidden_.jpg"},
      {"/p/.hidden.png", "/p/.hidden_.jpg"},
      {"/p/...", "/p/..._.jpg"},
      {"photo.jpg", "photo_.jpg"},
      {"/p/cat_.jpg", "/p/cat__.jpg"}};
  for (const auto& [input, output] : cases) EXPECT_EQ(outputPathFor(input), output);
}

namespace {

std::string contentOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class AtomicSave : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/lumivet-save-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    folder = pattern;
  }
  void TearDown() override { fs::remove_all(folder); }
  int filesInFolder() const {
    return static_cast<int>(std::distance(fs::directory_iterator(folder), {}));
  }
  std::string folder, error;
};

}  // namespace

TEST_F(AtomicSave, WritesTheLibraryWritersBytesIntoANewFileThatTakesTheName) {
  // A second name of the older result still reads it whole afterwards: the new bytes went into a
  // new file, so a crash mid-write could never have left a half-written result.
  const std::string path = folder + "/ours.jpg", older = "an older result";
  std::ofstream(path) << older;
  fs::create_hard_link(path, folder + "/older.jpg");
  const cv::Mat image = makePhoto(40, 60);
  std::vector<unsigned char> bytes;
  ASSERT_TRUE(encodeJpeg(image, bytes, error)) << error;
  ASSERT_TRUE(writeFileAtomically(path, bytes, error)) << error;
  ASSERT_TRUE(cv::imwrite(folder + "/theirs.jpg", image));
  EXPECT_EQ(contentOf(path), contentOf(folder + "/theirs.jpg"));
  EXPECT_EQ(contentOf(folder + "/older.jpg"), older);
  EXPECT_EQ(filesInFolder(), 3);  // no temporary file left
}

TEST_F(AtomicSave, FailuresAreReportedAndLeaveNothingBehind) {
  // A missing folder; a folder in place of the target, so the rename fails after the temporary
  // file was written; a read-only folder, unless we are root, who writes into those anyway.
  fs::create_directory(folder + "/taken.jpg");
  fs::create_directory(folder + "/locked");
  std::vector<std::string> targets = {"/missing/out.jpg", "/taken.jpg"};
  if (::geteuid() != 0) targets.push_back("/locked/out.jpg");
  for (const std::string& target : targets) {
    error.clear();
    EXPECT_FALSE(writeFileAtomically(folder + target, {1}, error)) << target;
    EXPECT_FALSE(error.empty()) << target;
  }
  EXPECT_EQ(filesInFolder(), 2);
  EXPECT_TRUE(fs::is_empty(folder + "/locked"));
  std::vector<unsigned char> bytes;
  EXPECT_FALSE(encodeJpeg(cv::Mat(), bytes, error));
}

TEST_F(AtomicSave, EveryNameTheFileSystemTakesIsSavedAndALongerOneIsNamedAsSuch) {
  const long nameMax = ::pathconf(folder.c_str(), _PC_NAME_MAX);
  const std::string longest(static_cast<std::size_t>(nameMax) - 4, 'n');
  EXPECT_TRUE(writeFileAtomically(folder + "/" + longest + ".jpg", {1}, error)) << error;
  EXPECT_FALSE(writeFileAtomically(folder + "/" + longest + "x.jpg", {1}, error));
  EXPECT_EQ(error, kNameTooLong);
  EXPECT_EQ(filesInFolder(), 1);
}

TEST_F(AtomicSave, TheSaveDialogAfterAFailureOpensInAWritableFolder) {
  // The input's folder if writable (a folder gone since the photo was opened is not); else the
  // user's Pictures, else home.
  fs::create_directories(folder + "/home/Pictures");
  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
  ::setenv("HOME", (folder + "/home").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (folder + "/home").c_str(), 1);  // no user-dirs file: ~/Pictures
  EXPECT_EQ(writableFolderFor(folder + "/photo.png"), folder);
  EXPECT_EQ(writableFolderFor(folder + "/gone/photo.png"), folder + "/home/Pictures");
  fs::remove(folder + "/home/Pictures");
  EXPECT_EQ(writableFolderFor(folder + "/gone/photo.png"), folder + "/home");
  ::setenv("HOME", home.c_str(), 1);
  ::unsetenv("XDG_CONFIG_HOME");
}
