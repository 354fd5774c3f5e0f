// The batch's parts: its command line, photo lists, places under an output folder, JSON lines,
// the memory budget shared by photos in flight, and the photo a result records.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <opencv2/imgcodecs.hpp>
#include <sstream>
#include <thread>

#include "photo/disk.hpp"
#include "photo/load.hpp"
#include "photo/recipe_xmp.hpp"
#include "session/batch.hpp"
#include "session/batch_log.hpp"
#include "session/batch_paths.hpp"
#include "tests/test_images.hpp"

namespace {

bool parse(std::vector<std::string> words, BatchOptions& options, std::string& error) {
  std::vector<char*> args;
  for (std::string& word : words) args.push_back(word.data());
  options = BatchOptions{};
  return parseBatchArguments(static_cast<int>(args.size()), args.data(), options, error);
}

// The bytes another process saves as a result while the batch filters its photo.
std::vector<unsigned char> arriving;

// Whether the file system lacks the rename that keeps its target, as NFS does.
bool renameCannotKeep = false;

// Puts `arriving` in place at the target just before the batch's own result.
int renameAfterArrival(int fromFolder, const char* from, int toFolder, const char* to,
                       unsigned flags) {
  std::ofstream(to, std::ios::binary)
      .write(reinterpret_cast<const char*>(arriving.data()), std::streamsize(arriving.size()));
  if (flags != 0 && renameCannotKeep) return errno = EINVAL, -1;
  return ::renameat2(fromFolder, from, toFolder, to, flags);
}

}  // namespace

TEST(BatchArguments, OptionsStandAnywhereAndBadOnesAreNamed) {
  BatchOptions options;
  std::string error;
  ASSERT_TRUE(parse({"a.png", "--jobs=3", "--apply", "Blur 2", "--skip-done", "--", "-b.png"},
                    options, error))
      << error;
  EXPECT_EQ(options.jobs, 3);
  EXPECT_EQ(options.recipeArgument, "Blur 2");
  EXPECT_TRUE(options.skipDone);
  EXPECT_EQ(options.photos, (std::vector<std::string>{"a.png", "-b.png"}));
  ASSERT_TRUE(parse({"--apply-from", "x_.jpg", "--files-from", "-", "-0"}, options, error));
  EXPECT_TRUE(options.nulSeparated);
  const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
      {{"--apply", "Blur 2", "--jobs", "0", "a.png"}, "--jobs"},
      {{"--apply", "Blur 2", "--log", "csv", "a.png"}, "jsonl"},
      {{"--apply", "Blur 2", "-0", "a.png"}, "-0"},
      {{"--apply", "Blur 2", "--colour", "a.png"}, "--colour"},
      {{"--apply", "Blur 2", "--apply-from", "x_.jpg", "a.png"}, "one recipe"},
      {{"--apply", "Blur 2"}, "at least one photo"},
      {{"--jobs", "2", "a.png"}, "--apply"},
      {{"--apply", "Blur 2", "a.png", "--output-dir"}, "--output-dir"}};
  for (const auto& [words, named] : bad) {
    EXPECT_FALSE(parse(words, options, error)) << named;
    EXPECT_NE(error.find(named), std::string::npos) << error;
  }
}

TEST(BatchPaths, ListsKeepEveryByteOfANameAndPlacesStayUnderTheOutputFolder) {
  std::vector<std::string> paths;
  std::istringstream nul(std::string("a b.png\0new\nline.png\0\0", 22));
  readPhotoList(nul, true, paths);
  std::istringstream lines("x.png\n\ny z.png\n");
  readPhotoList(lines, false, paths);
  EXPECT_EQ(paths, (std::vector<std::string>{"a b.png", "new\nline.png", "x.png", "y z.png"}));

  const std::string cwd = "/home/u/archive", logical = "/link/archive";
  const std::pair<const char*, const char*> placed[] = {
      {"scans/1970/a.tif", "scans/1970/a.tif"},
      {"./scans//./1970/a.tif", "scans/1970/a.tif"},
      {"/home/u/archive/scans/a.tif", "scans/a.tif"},
      {"/link/archive/b.png", "b.png"}};
  for (const auto& [path, relative] : placed) {
    std::string got, error;
    EXPECT_TRUE(placeUnderCurrent(path, cwd, logical, got, error)) << path << ": " << error;
    EXPECT_EQ(got, relative);
  }
  for (const char* path : {"../a.png", "scans/../a.png", "/home/u/archive2/a.png", "/tmp/a.png",
                           "/home/u/archive", "scans/"}) {
    std::string got, error;
    EXPECT_FALSE(placeUnderCurrent(path, cwd, logical, got, error)) << path << " gave " << got;
  }
  EXPECT_EQ(resultUnder("out", "scans/1970/a.tif"), "out/scans/1970/a_.jpg");
}

TEST(BatchLog, NamesThatAreNotUtf8KeepTheirBytesInBase64) {
  const std::string line =
      jsonLine({"bad\xff\"q\\.png", "", "refused", 1.5, "new\nline \x01 \xc3\xa9"});
  EXPECT_EQ(line,
            "{\"input\": \"bad\xef\xbf\xbd\\\"q\\\\.png\", \"input_base64\": \"YmFk/yJxXC5wbmc=\", "
            "\"output\": null, \"status\": \"refused\", \"seconds\": 1.500, \"message\": "
            "\"new\\nline \\u0001 \xc3\xa9\"}\n");
  // Overlong forms, surrogates and a cut sequence are not UTF-8; a four-byte one is.
  for (const char* name : {"\xc0\xaf", "\xed\xa0\x80", "\xe2\x82", "\xf4\x90\x80\x80"}) {
    EXPECT_NE(jsonLine({name, "o", "saved", 0, ""}).find("input_base64"), std::string::npos);
  }
  EXPECT_EQ(jsonLine({"\xf0\x9f\x93\xb7", "o", "saved", 0, ""}).find("base64"), std::string::npos);
}

TEST(MemoryBudget, APhotoWaitsUntilItFitsBesideThoseInFlightAndOneTooLargeIsRefused) {
  std::uint64_t there = 100;
  MemoryBudget budget([&] { return there; });
  EXPECT_EQ(budget.take(60), 100u);
  auto second = std::async(std::launch::async, [&] { return budget.take(60); });
  EXPECT_EQ(second.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  EXPECT_EQ(budget.take(150), 100u);  // alone it would not fit either: refused, nothing taken
  budget.give(60);
  EXPECT_EQ(second.get(), 100u);
  budget.give(60);
  // Measured again once nothing is in flight.
  there = 200;
  EXPECT_EQ(budget.take(150), 200u);
  budget.give(150);
}

TEST(ResultRecord, AResultRecordsItsPhotoAndAResultOfItDoesNotInheritIt) {
  char folder[] = "/tmp/lumivet-record-XXXXXX";
  ASSERT_NE(::mkdtemp(folder), nullptr);
  const std::string first = std::string(folder) + "/a_.jpg";
  const std::string second = std::string(folder) + "/a__.jpg";
  const PhotoSource source{"a.png", 1234, std::string(64, 'e')};
  std::vector<unsigned char> bytes;
  std::string error, recipe;
  PhotoSource read;
  ASSERT_TRUE(encodeResult(makePhoto(16, 24), {}, "Blur 2", bytes, error, &source)) << error;
  FILE* file = std::fopen(first.c_str(), "wb");
  ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
  std::fclose(file);
  ASSERT_TRUE(readRecipe(first, recipe, &read));
  EXPECT_EQ(recipe, "Blur 2");
  EXPECT_EQ(read, source);

  // The first result opened and saved again carries its metadata, but not its record.
  PhotoSource identity;
  ASSERT_TRUE(identifyPhoto(first, identity, error)) << error;
  EXPECT_EQ(identity.size, bytes.size());
  EXPECT_EQ(identity.sha256.size(), 64u);
  LoadedPhoto photo = loadPhoto(first, 0);
  ASSERT_TRUE(encodeResult(photo.image, photo.metadata, "Blur 3", bytes, error)) << error;
  file = std::fopen(second.c_str(), "wb");
  ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
  std::fclose(file);
  ASSERT_TRUE(readRecipe(second, recipe, &read));
  EXPECT_EQ(recipe, "Blur 3");
  EXPECT_EQ(read, PhotoSource{});
  EXPECT_FALSE(identifyPhoto(folder, identity, error));
  std::remove(first.c_str());
  std::remove(second.c_str());
  ::rmdir(folder);
}

TEST(ResultRecord, AResultAnotherProcessSavesMeanwhileStaysUnlessItIsOfTheSamePhoto) {
  namespace fs = std::filesystem;
  char folder[] = "/tmp/lumivet-race-XXXXXX";
  ASSERT_NE(::mkdtemp(folder), nullptr);
  const fs::path before = fs::current_path();
  fs::current_path(folder);
  ASSERT_TRUE(cv::imwrite("a.png", makePhoto(12, 10)));
  PhotoSource photo;
  std::string error, recipe;
  ASSERT_TRUE(identifyPhoto("a.png", photo, error)) << error;
  const DiskCalls system = diskCalls;
  // One of "a.jpg", saved by another job while "a.png" was filtered, stays, and the batch says
  // so; one of "a.png" itself is replaced. Without a rename that keeps its target, a hard link
  // keeps it.
  const std::pair<std::string, bool> cases[] = {
      {"a.jpg", false}, {"a.png", false}, {"a.jpg", true}};
  for (const auto& [other, onNfs] : cases) {
    renameCannotKeep = onNfs;
    PhotoSource source = photo;
    source.name = other;
    ASSERT_TRUE(encodeResult(makePhoto(8, 8), {}, "Blur 1", arriving, error, &source)) << error;
    diskCalls.renameat = renameAfterArrival;
    std::string words[] = {"--apply", "Blur 2", "--jobs", "1", "a.png"};
    char* args[] = {words[0].data(), words[1].data(), words[2].data(), words[3].data(),
                    words[4].data()};
    const int status = runBatch(5, args);
    diskCalls = system;
    PhotoSource recorded;
    ASSERT_TRUE(readRecipe("a_.jpg", recipe, &recorded)) << other;
    EXPECT_EQ(status, other == photo.name ? 0 : 2) << other << onNfs;
    EXPECT_EQ(recipe, other == photo.name ? "Blur 2" : "Blur 1") << other;
    EXPECT_EQ(recorded.name, other == photo.name ? "a.png" : "a.jpg");
    EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 2) << other;
    fs::remove("a_.jpg");
  }
  fs::current_path(before);
  fs::remove_all(folder);
}
