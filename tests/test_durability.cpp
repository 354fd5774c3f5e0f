// Power cuts, simulated after every write, flush and rename of the save and of the edit journal.
// A model of the disk follows the calls: a file's data reaches the disk when the file is flushed,
// a folder's names when the folder is flushed. After each call the test builds what a power cut
// could leave: the flushed names or all of them, each with the flushed data, half of what was
// written since, or all of it. In every such picture the saved name holds the old file or the
// whole new one (the new one once the save has returned), and the journal gives back every
// record whose append had returned.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "photo/disk.hpp"
#include "photo/save.hpp"
#include "pipeline/stages.hpp"
#include "session/journal.hpp"

namespace fs = std::filesystem;

namespace {

using Files = std::map<std::string, std::string>;  // name: content

std::string contentOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The watched folder and what of it has reached the disk. Every file seen keeps a second name in
// `kept`, so that its inode number is never given to another file.
struct Disk {
  Disk() {
    char pattern[] = "/tmp/lumivet-cut-XXXXXX";
    root = ::mkdtemp(pattern);
    fs::create_directory(folder = root / "folder");
  }
  ~Disk() {
    diskCalls = kSystemCalls;
    fs::remove_all(root);
  }
  // Runs `work` with the disk calls watched.
  void watch(const std::function<void()>& work);

  const DiskCalls kSystemCalls = diskCalls;
  fs::path root, folder, kept;
  std::map<std::string, ino_t> names;       // flushed names
  std::map<ino_t, std::string> data;        // flushed contents
  std::vector<std::pair<Files, int>> cuts;  // every picture, with the acknowledged count then
  int acknowledged = 0;

  std::string written(ino_t inode) const { return contentOf(kept / std::to_string(inode)); }
  std::map<std::string, ino_t> listing() const {
    std::map<std::string, ino_t> now;
    for (const auto& entry : fs::directory_iterator(folder)) {
      struct stat status;
      ::lstat(entry.path().c_str(), &status);
      now[entry.path().filename()] = status.st_ino;
      if (!fs::exists(kept / std::to_string(status.st_ino))) {
        fs::create_hard_link(entry.path(), kept / std::to_string(status.st_ino));
      }
    }
    return now;
  }
  // Called after each disk call; `flushed` is the descriptor it flushed, or -1.
  void after(int flushed) {
    const std::map<std::string, ino_t> now = listing();
    struct stat status;
    if (flushed >= 0 && ::fstat(flushed, &status) == 0) {
      if (S_ISDIR(status.st_mode)) names = now;
      if (S_ISREG(status.st_mode)) data[status.st_ino] = written(status.st_ino);
    }
    for (const std::map<std::string, ino_t>& which : {names, now}) {
      for (std::size_t half : {0, 1, 2}) {  // halves written since the flush that survive
        Files files;
        for (const auto& [name, inode] : which) {
          const std::string& durable = data[inode];
          const std::string since =
              written(inode).substr(std::min(durable.size(), written(inode).size()));
          files[name] = durable + since.substr(0, since.size() * half / 2);
        }
        cuts.push_back({files, acknowledged});
      }
    }
  }
};

Disk* disk = nullptr;

// A disk call of the system, after which the model looks at the disk.
template <auto call, bool flushes, typename... Args>
auto watched(int fd, Args... args) {
  const auto result = call(fd, args...);
  disk->after(flushes ? fd : -1);
  return result;
}

void Disk::watch(const std::function<void()>& work) {
  fs::create_directory(kept = root / "kept");
  names = listing();  // what is there before is on disk
  for (const auto& [name, inode] : names) data[inode] = written(inode);
  disk = this;
  diskCalls = {watched<::write, false, const void*, std::size_t>, watched<::fsync, true>,
               watched<::fdatasync, true>,
               watched<::renameat2, false, const char*, int, const char*, unsigned>};
  work();
  diskCalls = kSystemCalls;
}

}  // namespace

TEST(PowerCut, TheSavedNameHoldsTheOldFileOrTheWholeNewOne) {
  Disk model;
  const std::string older(5000, 'o'), newer(7000, 'n');
  std::ofstream(model.folder / "cat_.jpg") << older;  // before the model starts: on disk
  std::string error;
  model.watch([&] {
    ASSERT_TRUE(writeFileAtomically(model.folder / "cat_.jpg",
                                    std::vector<unsigned char>(newer.begin(), newer.end()), error));
    model.acknowledged = 1;
    model.after(-1);
  });
  ASSERT_GT(model.cuts.size(), 6u);
  for (const auto& [files, saved] : model.cuts) {
    const auto held = files.find("cat_.jpg");
    ASSERT_NE(held, files.end());
    if (saved || held->second != older) {
      EXPECT_EQ(held->second, newer);
    }
  }
}

TEST(PowerCut, TheJournalGivesBackEveryAcknowledgedRecord) {
  Disk model;
  const std::string photo = model.root / "cat.png";
  std::ofstream(photo) << "photo";
  const std::vector<JournalRecord> runs = {{kBlurStage, 3, 0, 1, 9},
                                           {kBlurStage, 4, 0, 2, 9},
                                           {kNoiseStage, 8, 1, 3, 9},
                                           {kBlackToZeroStage, 9, 2, 4, 9},
                                           {kBlurStage, 2, 3, 5, 9}};
  model.watch([&] {
    {
      EditJournal journal(model.folder, photo);
      for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(journal.append(runs[i]));
        ++model.acknowledged;
      }
    }
    EditJournal journal(model.folder, photo);  // the next session restores and goes on
    ASSERT_TRUE(journal.restore());
    for (int i = 3; i < 5; ++i) {
      ASSERT_TRUE(journal.append(runs[i]));
      ++model.acknowledged;
    }
  });
  ASSERT_GT(model.cuts.size(), 30u);
  const fs::path after = model.root / "after";
  for (const auto& [files, acknowledged] : model.cuts) {
    fs::remove_all(after);
    fs::create_directory(after);
    for (const auto& [name, content] : files) std::ofstream(after / name) << content;
    EditJournal journal(after, photo);
    const std::vector<JournalRecord> restored = journalChain(journal.records());
    const auto upTo = [&](int count) {
      return journalChain(std::vector<JournalRecord>(runs.begin(), runs.begin() + count));
    };
    // The record being appended at the cut may have reached the disk whole.
    if (restored != upTo(std::min<int>(acknowledged + 1, runs.size()))) {
      EXPECT_EQ(restored, upTo(acknowledged)) << "after " << acknowledged << " records";
    }
  }
}
