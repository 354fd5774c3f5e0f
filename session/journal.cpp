// The edit journal: its file format, its folder and the order of writes that makes it durable.
//
// A journal is a header (the photo's identity) and fixed-size records, each sealed with a checksum
// that continues the header's, so a record of another journal never passes for one of this one.
// A record is appended and flushed before the run after it starts. A power cut during an append
// leaves a torn last record, which reading stops at. Whole files (a new journal, the chain after a
// restore, a journal grown long) are written under a temporary name, flushed and renamed over the
// journal's name, so that name always holds a whole header.
#include "session/journal.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "photo/disk.hpp"

namespace {

constexpr char kMagic[8] = {'L', 'V', 'T', 'J', 'R', 'N', 'L', '1'};
constexpr std::size_t kPathLengthAt = 40;  // after the magic, size, modification time and hash
constexpr std::size_t kMaxPathBytes = 4096;
constexpr std::size_t kRecordBytes = 40;  // 32 bytes of fields and their checksum
constexpr off_t kMaxJournalBytes = 64 << 20;
constexpr std::size_t kHashedPhotoBytes = 1 << 20;
constexpr std::int64_t kPruneSeconds = 30 * 24 * 3600;
// A journal is written afresh as its chain once it holds this many records beyond it, so that
// hours of slider dragging never grow it past a few megabytes.
constexpr std::size_t kRecordsBeyondChain = 65536;
constexpr const char* kSuffix = ".journal";
constexpr const char* kTempPrefix = ".journal-";

// 64-bit FNV-1a, finished with a mix so that every input bit reaches every output bit.
std::uint64_t hash64(const void* data, std::size_t size,
                     std::uint64_t seed = 0xcbf29ce484222325ULL) {
  std::uint64_t h = seed;
  for (std::size_t i = 0; i < size; ++i) {
    h ^= static_cast<const unsigned char*>(data)[i];
    h *= 0x100000001b3ULL;
  }
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  return h ^ (h >> 33);
}

std::string hex(std::uint64_t value) {
  static const char digits[] = "0123456789abcdef";
  std::string text(16, '0');
  for (int i = 15; i >= 0; --i, value >>= 4) text[i] = digits[value & 15];
  return text;
}

// Little-endian fields, whatever the machine's byte order.
void put(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
}
std::uint64_t get(const char* in, int bytes) {
  std::uint64_t value = 0;
  for (int i = 0; i < bytes; ++i)
    value |= std::uint64_t(static_cast<unsigned char>(in[i])) << (8 * i);
  return value;
}

std::string encode(const JournalRecord& record, std::uint64_t seal) {
  std::string out;
  put(out, static_cast<std::uint32_t>(record.stage), 4);
  put(out, static_cast<std::uint32_t>(record.position), 4);
  put(out, record.step, 4);
  put(out, 0, 4);
  put(out, record.rngState, 8);
  put(out, static_cast<std::uint64_t>(record.time), 8);
  put(out, hash64(out.data(), out.size(), seal), 8);
  return out;
}

// The records after the header, up to the first that is torn, fails its checksum or could not
// have been written by a session (an unknown stage, a position off its slider, a step beyond the
// chain).
std::vector<JournalRecord> decodeRecords(const std::string& bytes, std::size_t offset,
                                         std::uint64_t seal) {
  std::vector<JournalRecord> records;
  std::size_t chain = 0;
  for (; offset + kRecordBytes <= bytes.size(); offset += kRecordBytes) {
    const char* p = bytes.data() + offset;
    if (hash64(p, kRecordBytes - 8, seal) != get(p + kRecordBytes - 8, 8)) break;
    JournalRecord record;
    record.stage = static_cast<std::int32_t>(get(p, 4));
    record.position = static_cast<std::int32_t>(get(p + 4, 4));
    record.step = static_cast<std::uint32_t>(get(p + 8, 4));
    record.rngState = get(p + 16, 8);
    record.time = static_cast<std::int64_t>(get(p + 24, 8));
    const StageSlider* slider = sliderById(record.stage);
    if (!slider || record.position < 0 || record.position > slider->maximum ||
        record.step > chain) {
      break;
    }
    chain = record.step + 1;
    records.push_back(record);
  }
  return records;
}

// The length of the header `bytes` start with, or 0 when they do not start with a whole one.
std::size_t headerLength(const std::string& bytes) {
  if (bytes.size() < kPathLengthAt + 4 || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
    return 0;
  }
  const std::size_t end = kPathLengthAt + 4 + get(bytes.data() + kPathLengthAt, 4);
  if (end > kPathLengthAt + 4 + kMaxPathBytes || end + 8 > bytes.size()) return 0;
  return hash64(bytes.data(), end) == get(bytes.data() + end, 8) ? end + 8 : 0;
}

std::string reason(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// Reads the regular file open as `fd`, refusing one larger than a journal ever grows.
bool readJournalFile(int fd, std::string& bytes) {
  struct stat status;
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size > kMaxJournalBytes) {
    return false;
  }
  bytes.resize(static_cast<std::size_t>(status.st_size));
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pread(fd, bytes.data() + done, bytes.size() - done, done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  bytes.resize(done);
  return true;
}

// The header that identifies the photo at `photoPath`: its real path, size, modification time
// and a hash of its first megabyte. Empty, with `error` set, when the photo cannot be read.
std::string photoHeader(const std::string& photoPath, std::string& path, std::string& error) {
  char* real = ::realpath(photoPath.c_str(), nullptr);
  if (!real) {
    error = reason("cannot find the photo");
    return "";
  }
  path = real;
  std::free(real);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  struct stat status;
  if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
      path.size() > kMaxPathBytes) {
    error = fd < 0 ? reason("cannot read the photo") : "the photo is not a file it can journal";
    if (fd >= 0) ::close(fd);
    return "";
  }
  std::string head(kHashedPhotoBytes, '\0');
  std::size_t done = 0;
  while (done < head.size()) {
    const ssize_t n = ::read(fd, head.data() + done, head.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  std::string header(kMagic, sizeof kMagic);
  put(header, static_cast<std::uint64_t>(status.st_size), 8);
  put(header, static_cast<std::uint64_t>(status.st_mtim.tv_sec), 8);
  put(header, static_cast<std::uint64_t>(status.st_mtim.tv_nsec), 8);
  put(header, hash64(head.data(), done), 8);
  put(header, path.size(), 4);
  header += path;
  put(header, hash64(header.data(), header.size()), 8);
  return header;
}

// Opens `folder`, creating it and any missing parent private to the user. A folder of another
// user is refused; one of ours is made private. On failure `error` ends in the system's reason.
int openJournalFolder(const std::string& folder, std::string& error) {
  for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      error = reason("cannot create the journal folder " + part);
      return -1;
    }
    if (slash == std::string::npos) break;
  }
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat status;
  if (fd < 0 || ::fstat(fd, &status) != 0) {
    error = reason("cannot open the journal folder " + folder);
  } else if (status.st_uid != ::geteuid()) {
    error = "the journal folder " + folder + " belongs to another user: " + std::strerror(EPERM);
  } else if ((status.st_mode & 077) == 0 || ::fchmod(fd, 0700) == 0) {
    return fd;
  } else {
    error = reason("cannot make the journal folder " + folder + " private");
  }
  if (fd >= 0) ::close(fd);
  return -1;
}

bool endsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Removes the journals, and temporary files of journals, last written more than 30 days ago.
void pruneFolder(int folder) {
  const int listing = ::dup(folder);
  DIR* dir = listing >= 0 ? ::fdopendir(listing) : nullptr;
  if (!dir) {
    if (listing >= 0) ::close(listing);
    return;
  }
  const std::int64_t before = std::time(nullptr) - kPruneSeconds;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    struct stat status;
    if ((endsWith(name, kSuffix) || name.rfind(kTempPrefix, 0) == 0) &&
        ::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(status.st_mode) && status.st_mtim.tv_sec < before) {
      ::unlinkat(folder, name.c_str(), 0);
    }
  }
  ::closedir(dir);
}

}  // namespace

std::vector<JournalRecord> journalChain(const std::vector<JournalRecord>& records) {
  std::vector<JournalRecord> chain;
  for (const JournalRecord& record : records) {
    chain.resize(std::min<std::size_t>(record.step, chain.size()));
    chain.push_back(record);
  }
  return chain;
}

std::string defaultJournalFolder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state && state[0] == '/') return std::string(state) + "/lumivet-tool";
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return std::string(home) + "/.local/state/lumivet-tool";
  return "";
}

EditJournal::EditJournal(const std::string& folder, const std::string& photoPath)
    : folderPath_(folder) {
  if (folder.empty()) {
    error_ = "there is no folder for it (neither XDG_STATE_HOME nor HOME is set)";
    return;
  }
  std::string path;
  header_ = photoHeader(photoPath, path, error_);
  if (header_.empty()) return;
  seal_ = get(header_.data() + header_.size() - 8, 8);
  name_ = hex(hash64(path.data(), path.size())) + kSuffix;
  usable_ = true;
  // A folder that cannot be made now (a full disk, a missing or read-only mount) is tried again
  // at every run; there is no earlier journal to look for in it.
  if (!openFolder()) return;
  pruneFolder(folder_);

  // Only a regular file is opened: a link is not followed, and a device or pipe never opened.
  struct stat entry;
  if (::fstatat(folder_, name_.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) return;
  const int fd = S_ISREG(entry.st_mode)
                     ? ::openat(folder_, name_.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC)
                     : -1;
  if (fd < 0) {
    found_ = Found::kDamaged;
    error_ = "the journal of this photo is not a file it can read";
    unlinkJournal();
    return;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    found_ = Found::kInUse;
    usable_ = false;
    return;
  }
  file_ = fd;
  std::string bytes;
  const std::size_t header = readJournalFile(fd, bytes) ? headerLength(bytes) : 0;
  if (header == 0) {
    found_ = Found::kDamaged;
    error_ = "the journal of this photo is damaged";
  } else if (bytes.compare(0, header, header_) == 0) {
    foundRecords_ = decodeRecords(bytes, header, seal_);
  }
  if (!foundRecords_.empty()) {
    found_ = Found::kRestorable;
    return;
  }
  // Damaged, empty, or kept for the photo as it was before it changed: of no use.
  unlinkJournal();
  closeJournal();
}

EditJournal::~EditJournal() {
  closeJournal();
  if (folder_ >= 0) ::close(folder_);
}

bool EditJournal::restore() {
  if (found_ != Found::kRestorable || answered_) return false;
  answered_ = true;
  chain_ = journalChain(foundRecords_);  // what the file holds, even if it cannot be rewritten
  return usable_ && rewrite(chain_);
}

void EditJournal::discard() {
  if (found_ != Found::kRestorable || answered_) return;
  answered_ = true;
  unlinkJournal();
  closeJournal();
  chain_.clear();
}

bool EditJournal::append(const JournalRecord& record) {
  if (!usable_) return false;
  if (record.step > chain_.size()) {
    errno = EINVAL;
    fail("a run does not follow the chain journaled so far");
    usable_ = false;
    return false;
  }
  chain_.resize(record.step);
  chain_.push_back(record);
  // After a failure the file may end in a torn record, or miss runs: the whole chain is written
  // afresh, in the folder opened again (it may have been removed, or its disk mounted anew).
  if (failing_ && !openFolder()) return false;
  if (failing_ || file_ < 0 || written_ >= chain_.size() + kRecordsBeyondChain) {
    return rewrite(chain_);
  }
  const std::string bytes = encode(record, seal_);
  if (!writeAll(file_, bytes.data(), bytes.size())) return fail("cannot write the journal");
  if (diskCalls.fdatasync(file_) != 0) return fail("cannot flush the journal to disk");
  ++written_;
  return true;
}

void EditJournal::endCleanly(const std::vector<StageStep>& chain) {
  if (found_ == Found::kRestorable && !answered_) return;
  if (chain.size() != chain_.size()) return;
  for (std::size_t i = 0; i < chain.size(); ++i) {
    if (chain[i].id != chain_[i].stage || chain[i].value != chain_[i].position) return;
  }
  remove();
}

void EditJournal::remove() {
  if (file_ < 0) return;
  unlinkJournal();
  closeJournal();
  usable_ = false;
}

bool EditJournal::rewrite(const std::vector<JournalRecord>& records) {
  std::string bytes = header_;
  for (const JournalRecord& record : records) bytes += encode(record, seal_);
  // A name no other session picks at the same moment: the process and the clock.
  std::string temp;
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    const std::int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
    const std::int64_t salt[] = {::getpid(), now, attempt};
    temp = kTempPrefix + hex(hash64(salt, sizeof salt));
    fd =
        ::openat(folder_, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) return fail("cannot create a journal file");
  const char* failure = nullptr;
  if (!writeAll(fd, bytes.data(), bytes.size())) {
    failure = "cannot write the journal";
  } else if (diskCalls.fdatasync(fd) != 0) {
    failure = "cannot flush the journal to disk";
  } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0 ||
             diskCalls.renameat(folder_, temp.c_str(), folder_, name_.c_str(), 0) != 0) {
    failure = "cannot put the journal in place";
  } else if (!syncFolder(folder_)) {
    failure = "cannot flush the journal folder to disk";
  }
  if (failure) {
    const int saved = errno;
    ::unlinkat(folder_, temp.c_str(), 0);
    ::close(fd);
    errno = saved;
    return fail(failure);
  }
  closeJournal();
  file_ = fd;
  written_ = records.size();
  chain_ = journalChain(records);
  failing_ = false;
  return true;
}

bool EditJournal::fail(const std::string& what) {
  cause_ = std::strerror(errno);
  error_ = reason(what);
  failing_ = true;
  return false;
}

bool EditJournal::openFolder() {
  if (folder_ >= 0) ::close(folder_);
  folder_ = openJournalFolder(folderPath_, error_);
  if (folder_ < 0) {
    cause_ = error_.substr(error_.rfind(": ") + 2);
    failing_ = true;
    return false;
  }
  return true;
}

void EditJournal::unlinkJournal() {
  if (folder_ >= 0 && ::unlinkat(folder_, name_.c_str(), 0) == 0) syncFolder(folder_);
}

void EditJournal::closeJournal() {
  if (file_ >= 0) ::close(file_);
  file_ = -1;
}
