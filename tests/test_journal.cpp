// The edit journal: the runs a session appended come back in the next session, up to a torn or
// damaged record; a journal whose photo changed, or that is older than 30 days, goes; the folder
// and the file are private, and a link at the journal's name is never followed. A journal that
// cannot be written is tried again at every run, and then holds the whole chain.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "photo/disk.hpp"
#include "pipeline/stages.hpp"
#include "session/journal.hpp"

namespace fs = std::filesystem;
using Found = EditJournal::Found;

namespace {

// Blur re-run, noise frozen and noise again on top (the noise run after a failed run of another
// stage), then Bilateral re-run.
const std::vector<JournalRecord> kRuns = {
    {kBlurStage, 3, 0, 11, 1000},      {kBlurStage, 5, 0, 12, 1001},
    {kNoiseStage, 40, 1, 13, 1002},    {kNoiseStage, 60, 2, 14, 1003},
    {kBilateralStage, 2, 3, 15, 1004}, {kBilateralStage, 4, 3, 16, 1005}};

class Journal : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/lumivet-journal-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root = pattern;
    folder = root + "/state/lumivet-tool";
    photo = root + "/cat.png";
    std::ofstream(photo) << std::string(1 << 20, 'p') << "tail";
  }
  void TearDown() override { fs::remove_all(root); }

  // A session that journals `runs` and then is killed.
  void crashAfter(const std::vector<JournalRecord>& runs) {
    EditJournal journal(folder, photo);
    for (const JournalRecord& run : runs) ASSERT_TRUE(journal.append(run)) << journal.error();
  }
  fs::path journalFile() const {
    for (const auto& entry : fs::directory_iterator(folder)) return entry.path();
    return {};
  }
  std::string root, folder, photo;
};

}  // namespace

TEST_F(Journal, RunsComeBackAndTheSessionGoesOnFromTheirChainUntilACleanEnd) {
  crashAfter(kRuns);
  EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::status(journalFile()).permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
  std::vector<JournalRecord> chain = journalChain(kRuns);
  ASSERT_EQ(chain.size(), 4u);
  EXPECT_EQ(chain[2], kRuns[3]);
  {
    EditJournal journal(folder, root + "/./cat.png");  // the same photo by another path
    ASSERT_EQ(journal.found(), Found::kRestorable) << journal.error();
    EXPECT_EQ(journal.records(), kRuns);
    EditJournal second(folder, photo);  // the photo opened twice: the second session keeps off
    EXPECT_EQ(second.found(), Found::kInUse);
    EXPECT_FALSE(second.append(kRuns[0]));
    ASSERT_TRUE(journal.restore());
    chain.push_back({kBlurStage, 7, 4, 17, 1006});
    ASSERT_TRUE(journal.append(chain.back()));
  }
  {
    EditJournal journal(folder, photo);
    EXPECT_EQ(journal.records(), chain);
    journal.endCleanly({});  // before the question is answered, the edit stays
    EXPECT_FALSE(fs::is_empty(folder));
    journal.discard();
    EXPECT_TRUE(fs::is_empty(folder));
    ASSERT_TRUE(journal.append(kRuns[0]));
    journal.endCleanly({{kBlurStage, 5}});  // a result that is not the journal's keeps it
    EXPECT_FALSE(fs::is_empty(folder));
    journal.endCleanly({{kBlurStage, 3}});
  }
  EXPECT_TRUE(fs::is_empty(folder));
  EXPECT_EQ(EditJournal(folder, photo).found(), Found::kNothing);
}

TEST_F(Journal, ATornOrDamagedRecordEndsItAndADamagedHeaderIsReported) {
  // One byte cut off the last record (torn), zeros after it, a generator state changed in the
  // fourth record, a byte of the header changed.
  const std::size_t kept[] = {5, 6, 3, 0};
  for (int damage = 0; damage < 4; ++damage) {
    crashAfter(kRuns);
    const fs::path file = journalFile();
    const std::uintmax_t size = fs::file_size(file);
    std::fstream poke(file, std::ios::in | std::ios::out | std::ios::binary);
    if (damage < 2) fs::resize_file(file, damage == 0 ? size - 1 : size + 80);
    poke.seekp(damage == 2 ? size - 3 * 40 + 17 : 20);
    if (damage >= 2) poke.put('\x7f');
    poke.close();
    EditJournal journal(folder, photo);
    EXPECT_EQ(journal.found(), damage == 3 ? Found::kDamaged : Found::kRestorable);
    EXPECT_EQ(journal.records(), decltype(kRuns)(kRuns.begin(), kRuns.begin() + kept[damage]));
    EXPECT_EQ(journal.error().empty(), damage != 3);
    journal.discard();
    EXPECT_TRUE(fs::is_empty(folder));
  }
}

TEST_F(Journal, AChangedPhotoOrAnOldJournalIsRemovedAndALinkIsNeverFollowed) {
  const auto now = fs::last_write_time(photo);
  for (const bool content : {false, true}) {  // touched; changed keeping its size and time
    crashAfter(kRuns);
    if (content) std::fstream(photo, std::ios::in | std::ios::out | std::ios::binary).put('q');
    fs::last_write_time(photo, now + std::chrono::seconds(1));
    EXPECT_EQ(EditJournal(folder, photo).found(), Found::kNothing);
    EXPECT_TRUE(fs::is_empty(folder));
  }

  // Journals of other photos: one 29 days old stays, one 31 days old goes.
  crashAfter(kRuns);
  const fs::path recent = journalFile(), old = folder + "/0123456789abcdef.journal";
  fs::copy_file(recent, old);
  fs::last_write_time(recent, fs::file_time_type::clock::now() - std::chrono::hours(24 * 29));
  fs::last_write_time(old, fs::file_time_type::clock::now() - std::chrono::hours(24 * 31));
  const std::string other = root + "/other.png";
  std::ofstream(other) << "other";
  EditJournal(folder, other);
  EXPECT_TRUE(fs::exists(recent));
  EXPECT_FALSE(fs::exists(old));

  // A link at the journal's name is removed, not followed; a folder open to others is closed.
  fs::rename(recent, root + "/target");
  fs::create_symlink(root + "/target", recent);
  fs::permissions(folder, fs::perms::all);
  EXPECT_EQ(EditJournal(folder, photo).found(), Found::kDamaged);
  EXPECT_FALSE(fs::exists(fs::symlink_status(recent)));
  EXPECT_TRUE(fs::exists(root + "/target"));
  EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all);
}

TEST_F(Journal, AFullDiskTurnsItOffWithTheSystemsReasonAndEveryRunTriesAgain) {
  // The disk fills up after the first run, and has room again after the fourth.
  static int writes = 0;
  static bool full = false;
  const DiskCalls system = diskCalls;
  diskCalls.write = [](int fd, const void* data, std::size_t size) -> ssize_t {
    ++writes;
    if (full) return errno = ENOSPC, -1;
    return ::write(fd, data, size);
  };
  {
    EditJournal journal(folder, photo);
    EXPECT_TRUE(journal.append(kRuns[0]));
    full = true;
    for (int i = 1; i < 4; ++i) {
      const int before = writes;
      EXPECT_FALSE(journal.append(kRuns[i]));
      EXPECT_GT(writes, before) << "run " << i << " was not tried";
      EXPECT_TRUE(journal.failing());
      EXPECT_EQ(journal.cause(), "No space left on device");
    }
    full = false;
    EXPECT_TRUE(journal.append(kRuns[4]));
    EXPECT_FALSE(journal.failing());
  }  // killed
  diskCalls = system;
  EditJournal next(folder, photo);
  EXPECT_EQ(journalChain(next.records()), journalChain({kRuns.begin(), kRuns.begin() + 5}));
}

TEST_F(Journal, AFolderThatCannotBeMadeIsTriedAgainAtEveryRun) {
  fs::create_directories(root + "/state");
  std::ofstream(folder) << "a file where the folder goes";
  EditJournal journal(folder, photo);
  EXPECT_TRUE(journal.recording());
  EXPECT_TRUE(journal.failing());
  EXPECT_FALSE(journal.append(kRuns[0]));
  fs::remove(folder);
  EXPECT_TRUE(journal.append(kRuns[1]));
  EditJournal next(folder, photo);
  EXPECT_EQ(next.found(), Found::kInUse);  // the first session still holds it
}
