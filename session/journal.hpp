// The journal of an edit: every completed run of a windowed session is appended and flushed to disk
// before the next run starts, so that a crash, a kill or a power cut never loses the edit. One
// small file per photo in $XDG_STATE_HOME/lumivet-tool/ holds the photo's identity and the runs (a
// stage, its position, its place in the chain and the random generator's state before it), never
// pixels.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pipeline/stages.hpp"

// One completed run.
struct JournalRecord {
  int stage = 0;
  int position = 0;
  // Its place in the chain: the steps before it stay, the one it takes the place of goes.
  std::uint32_t step = 0;
  // The worker's random generator (cv::theRNG().state) before the run.
  std::uint64_t rngState = 0;
  // When it completed, in seconds since the epoch.
  std::int64_t time = 0;
  bool operator==(const JournalRecord& other) const {
    return stage == other.stage && position == other.position && step == other.step &&
           rngState == other.rngState && time == other.time;
  }
};

// The chain `records` leave, in order: each record replaces the chain from its step on.
std::vector<JournalRecord> journalChain(const std::vector<JournalRecord>& records);

// $XDG_STATE_HOME/lumivet-tool, else ~/.local/state/lumivet-tool; empty when neither is known.
std::string defaultJournalFolder();

// The journal of the photo open in this session. Not thread-safe: one thread at a time uses it (the
// event loop before and after the stage runner's worker, the worker in between).
class EditJournal {
 public:
  // What an earlier session left for this photo.
  enum class Found {
    kNothing,     // no journal, or one that was empty or belonged to the photo before it changed
    kRestorable,  // records() hold the edit
    kDamaged,     // unreadable; it has been removed, and error() says so
    kInUse,       // another session has the photo open and journals it; this one does not
  };

  // Opens (creating it private to the user) `folder`, prunes journals older than 30 days, and
  // looks for the journal of the photo at `photoPath`, removing one whose photo has changed. No
  // folder, or a photo that cannot be read, gives a journal that records nothing; error() says
  // why. A folder that cannot be made or opened now is tried again at every append.
  EditJournal(const std::string& folder, const std::string& photoPath);
  ~EditJournal();
  EditJournal(const EditJournal&) = delete;
  EditJournal& operator=(const EditJournal&) = delete;

  Found found() const { return found_; }
  // The records of the journal found, up to the first torn or damaged one.
  const std::vector<JournalRecord>& records() const { return foundRecords_; }
  // Why the journal records nothing, or what was wrong with the one found; empty when all is well.
  const std::string& error() const { return error_; }

  // The session goes on from the journal found (its chain is written afresh, any torn tail gone),
  // or from nothing (the journal found is removed).
  bool restore();
  void discard();

  // Records a completed run; when this returns true the record is on disk. After a failure
  // (a full disk, a read-only or missing folder, a quota), error() and cause() say why, and the
  // next append tries again, writing the whole chain so far.
  bool append(const JournalRecord& record);
  // Whether this session's runs are journaled (false for a photo another session journals), and
  // whether they reach the disk now.
  bool recording() const { return usable_; }
  bool failing() const { return usable_ && failing_; }
  // The system's reason for the last failure ("No space left on device").
  const std::string& cause() const { return cause_; }
  // The edit ended cleanly (saved, or its save declined) with `chain` as its result: the journal
  // is removed, unless it holds more than that (an edit found and not answered, or a restore cut
  // short).
  void endCleanly(const std::vector<StageStep>& chain);

 private:
  bool rewrite(const std::vector<JournalRecord>& records);
  void remove();
  bool fail(const std::string& what);
  bool openFolder();
  void unlinkJournal();
  void closeJournal();

  std::string folderPath_;
  int folder_ = -1;
  int file_ = -1;  // the journal, locked against other sessions
  std::string name_;
  std::string header_;      // the identity of the photo as written at the head of the file
  std::uint64_t seal_ = 0;  // the header's checksum, which every record's checksum continues
  bool usable_ = false;
  bool failing_ = false;  // the last write failed; the next append writes the whole chain
  Found found_ = Found::kNothing;
  bool answered_ = false;  // restore() or discard() was called
  std::vector<JournalRecord> foundRecords_;
  std::vector<JournalRecord> chain_;  // what the records written so far leave
  std::size_t written_ = 0;           // records in the file
  std::string error_;
  std::string cause_;
};
