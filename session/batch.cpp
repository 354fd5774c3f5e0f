// The batch mode: the command line and the recipe are checked first, then every photo's result
// is placed, and then the photos are done several at a time, each on a thread of its own that
// reads, filters and writes it, so that the reading and writing of some overlap the filtering of
// others.
#include "session/batch.hpp"

#include <fcntl.h>
#include <malloc.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <opencv2/core/utility.hpp>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "photo/disk.hpp"
#include "photo/identity.hpp"
#include "photo/load.hpp"
#include "photo/output_name.hpp"
#include "photo/recipe_xmp.hpp"
#include "photo/save.hpp"
#include "pipeline/recipe.hpp"
#include "pipeline/stages.hpp"
#include "session/batch_log.hpp"
#include "session/batch_paths.hpp"

namespace {

constexpr int kMaxJobs = 1024;

std::string fileName(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

// Same file, by identity where both exist, by normalised path otherwise.
std::string canonical(const std::string& path) {
  std::error_code error;
  const auto resolved = std::filesystem::weakly_canonical(path, error);
  return error ? path : resolved.string();
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string tenths(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

// The current folder as getcwd gives it, and as the shell names it when $PWD is that same folder.
void currentFolder(std::string& cwd, std::string& logical) {
  std::error_code error;
  cwd = std::filesystem::current_path(error).string();
  const char* pwd = std::getenv("PWD");
  struct stat here, named;
  if (pwd && *pwd == '/' && ::stat(".", &here) == 0 && ::stat(pwd, &named) == 0 &&
      here.st_dev == named.st_dev && here.st_ino == named.st_ino) {
    logical = pwd;
  }
}

// Canonical paths, each kept as a hash with the index of its photo, so that a list of a million
// photos costs a few bytes each; a hash that matches is confirmed on the path itself.
class PathIndex {
 public:
  explicit PathIndex(std::function<std::string(std::size_t)> pathOf) : pathOf_(std::move(pathOf)) {}
  // The index added with the canonical path `path`, or -1.
  long find(const std::string& path) const {
    const auto [first, last] = entries_.equal_range(std::hash<std::string>{}(path));
    for (auto entry = first; entry != last; ++entry) {
      if (pathOf_(entry->second) == path) return static_cast<long>(entry->second);
    }
    return -1;
  }
  void add(const std::string& path, std::size_t index) {
    entries_.emplace(std::hash<std::string>{}(path), index);
  }

 private:
  std::function<std::string(std::size_t)> pathOf_;
  std::unordered_multimap<std::size_t, std::size_t> entries_;
};

// What is known of a photo before any is done.
enum Conflict : long { kNone = -1, kResultIsAPhoto = -2 };

// One run of the batch: the options, the recipe and the photos with their results' places.
class Batch {
 public:
  Batch(BatchOptions options, std::vector<StageStep> chain)
      : options_(std::move(options)), chain_(std::move(chain)), recipe_(formatRecipe(chain_)) {
    currentFolder(cwd_, logicalCwd_);
  }
  ~Batch() {
    if (console_ >= 0) ::close(console_);
  }

  // Places every photo's result. With an output folder, a photo whose place under it would be
  // ambiguous is refused and reported, and nothing is done: returns false.
  bool place();
  // Does every photo, `jobs` at a time, and returns the exit status.
  int run(int jobs);

 private:
  // Where the result of photo `index` goes, and the path its grain is drawn for.
  std::string targetOf(std::size_t index) const;
  std::string keyOf(std::size_t index) const;
  PhotoReport process(std::size_t index);
  void report(const PhotoReport& report);

  const BatchOptions options_;
  const std::vector<StageStep> chain_;
  const std::string recipe_;
  std::string cwd_, logicalCwd_;
  // For each photo: kNone, kResultIsAPhoto, or the index of the earlier photo whose result has
  // the same name.
  std::vector<long> conflicts_;
  // The photos' buffers stay in the heap between photos (see runBatch): what is free there is
  // the batch's to use besides what the system has available.
  MemoryBudget budget_{[] {
    const std::uint64_t available = availableMemory();
    return available == 0 ? 0 : available + mallinfo2().fordblks;
  }};
  std::mutex reportMutex_;
  int reported_ = 0, saved_ = 0, skipped_ = 0, unreadable_ = 0, unsaved_ = 0;
  const bool terminal_ = ::isatty(STDERR_FILENO);
  // Standard error as it was at the start: while photos are read, the loader points stderr
  // itself at /dev/null to silence the decoders, and the lines of the others must still come.
  const int console_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
};

std::string Batch::targetOf(std::size_t index) const {
  const std::string& path = options_.photos[index];
  if (options_.outputDir.empty()) return outputPathFor(path);
  std::string relative, error;
  placeUnderCurrent(path, cwd_, logicalCwd_, relative, error);
  return resultUnder(options_.outputDir, relative);
}

std::string Batch::keyOf(std::size_t index) const {
  const std::string& path = options_.photos[index];
  std::string relative, error;
  if (placeUnderCurrent(path, cwd_, logicalCwd_, relative, error)) return relative;
  return std::filesystem::absolute(path).lexically_normal().string();
}

bool Batch::place() {
  const std::vector<std::string>& photos = options_.photos;
  if (!options_.outputDir.empty()) {
    int refused = 0;
    for (const std::string& path : photos) {
      std::string relative, error;
      if (placeUnderCurrent(path, cwd_, logicalCwd_, relative, error)) continue;
      report({path, "", "refused", 0.0,
              "refused: " + error + ", so its place under " + options_.outputDir +
                  " would be ambiguous"});
      ++refused;
    }
    if (refused > 0) {
      std::cerr << "nothing done: " << refused << (refused == 1 ? " photo has" : " photos have")
                << " no clear place under " << options_.outputDir << '\n';
      return false;
    }
  }
  // A photo is never overwritten, and of two photos with one result name the first keeps it.
  PathIndex inputs([&](std::size_t i) { return canonical(photos[i]); });
  PathIndex targets([&](std::size_t i) { return canonical(targetOf(i)); });
  for (std::size_t i = 0; i < photos.size(); ++i) inputs.add(canonical(photos[i]), i);
  conflicts_.assign(photos.size(), kNone);
  for (std::size_t i = 0; i < photos.size(); ++i) {
    const std::string target = canonical(targetOf(i));
    const long earlier = targets.find(target);
    if (inputs.find(target) >= 0) {
      conflicts_[i] = kResultIsAPhoto;
    } else if (earlier >= 0) {
      conflicts_[i] = earlier;
    } else {
      targets.add(target, i);
    }
  }
  return true;
}

// The generator state of a photo's grain: drawn from its path and content, so that no two photos
// of a run share grain, and a photo gets the same grain in every run, however the photos are
// shared among threads, processes and machines.
std::uint64_t noiseSeed(const std::string& key, const PhotoSource& source) {
  QCryptographicHash hash(QCryptographicHash::Sha256);
  hash.addData(key.data(), static_cast<int>(key.size()));
  hash.addData("", 1);
  hash.addData(source.sha256.data(), static_cast<int>(source.sha256.size()));
  const QByteArray digest = hash.result();
  std::uint64_t seed = 0;
  std::memcpy(&seed, digest.constData(), sizeof seed);
  return seed;
}

PhotoReport Batch::process(std::size_t index) {
  const auto start = std::chrono::steady_clock::now();
  const std::string& path = options_.photos[index];
  const std::string target = targetOf(index);
  PhotoReport done{path, target, "not saved", 0.0, ""};
  const auto finish = [&](const char* status, const std::string& message) {
    done.status = status;
    done.message = message;
    done.seconds = secondsSince(start);
    return done;
  };
  const long conflict = conflicts_[index];
  if (conflict == kResultIsAPhoto) {
    return finish("not saved", "not saved: " + fileName(target) + " is one of the photos");
  }
  if (conflict >= 0) {
    return finish("not saved", "not saved: " + fileName(target) + " is already the result of " +
                                   fileName(options_.photos[conflict]));
  }
  PhotoSource source;
  std::string error;
  if (!identifyPhoto(path, source, error)) {
    return finish("unreadable", "The file \"" + path + "\" could not be read: " + error + ".");
  }
  // Whether a result already there stays, as `done` then says: one from another photo always;
  // with --skip-done, one from this photo, as it is now, with this recipe.
  const auto resultStays = [&] {
    std::string recordedRecipe;
    PhotoSource recorded;
    if (!readRecipe(target, recordedRecipe, &recorded) || recorded.name.empty()) return false;
    if (recorded.name != source.name) {
      finish("not saved",
             "not saved: " + fileName(target) + " is already the result of " + recorded.name);
      return true;
    }
    if (options_.skipDone && recordedRecipe == recipe_ && recorded == source) {
      finish("skipped", "skipped: " + fileName(target) + " is done already");
      return true;
    }
    return false;
  };
  // Another process (a job of GNU parallel, say) may save a result of this name while this photo
  // is filtered: a file that was not there when the photo started is never replaced unchecked.
  struct stat there;
  const bool targetWasThere = ::lstat(target.c_str(), &there) == 0;
  if (resultStays()) return done;

  LoadedPhoto photo = loadPhoto(path, budget_);
  // The photo's memory goes back to the budget however its work ends.
  const std::unique_ptr<MemoryBudget, std::function<void(MemoryBudget*)>> reservation(
      photo.reserved ? &budget_ : nullptr,
      [bytes = photo.reserved](MemoryBudget* budget) { budget->give(bytes); });
  if (photo.image.empty())
    return finish("unreadable", photo.error + (photo.why.empty() ? "" : " (" + photo.why + ")"));
  std::vector<unsigned char> bytes;
  try {
    cv::RNG rng(noiseSeed(keyOf(index), source));
    const cv::Mat result = applyRecipe(std::move(photo.image), chain_, &rng);
    if (!encodeResult(result, std::move(photo.metadata), recipe_, bytes, error, &source)) {
      bytes.clear();
    }
  } catch (const cv::Exception& e) {
    error = e.msg;
  } catch (const std::bad_alloc&) {
    error = "not enough memory";
  } catch (const std::exception& e) {  // the current folder gone, say: never the other photos
    error = e.what();
  }
  if (bytes.empty()) return finish("not saved", "not saved: " + error);
  if (!options_.outputDir.empty()) {
    const std::filesystem::path folder = std::filesystem::path(target).parent_path();
    std::error_code made;
    std::filesystem::create_directories(folder, made);
    if (made) {
      return finish("not saved",
                    "not saved: cannot make the folder " + folder.string() + ": " + made.message());
    }
  }
  if (!writeFileAtomically(target, bytes, error, targetWasThere)) {
    if (error != kNameTaken) return finish("not saved", "not saved: " + error);
    if (resultStays()) return done;
    if (!writeFileAtomically(target, bytes, error))
      return finish("not saved", "not saved: " + error);
  }
  return finish("saved", "saved " + fileName(target) + ", " + tenths(secondsSince(start)));
}

void Batch::report(const PhotoReport& report) {
  const std::lock_guard<std::mutex> lock(reportMutex_);
  const std::string status = report.status;
  int& count = status == "saved"        ? saved_
               : status == "skipped"    ? skipped_
               : status == "unreadable" ? unreadable_
                                        : unsaved_;
  ++count;
  ++reported_;
  const std::size_t total = options_.photos.size();
  const std::string line = std::to_string(reported_) + "/" + std::to_string(total) + " " +
                           fileName(report.input) + ": " + report.message;
  const std::string text =
      terminal_ ? "\r\033[K" + line + (reported_ == static_cast<int>(total) ? "\n" : "")
                : line + '\n';
  writeAll(console_, text.data(), text.size());
  if (options_.jsonLog) {
    // Each line reaches the reader whole and at once, even if the run is killed after it.
    const std::string json = jsonLine(report);
    std::fwrite(json.data(), 1, json.size(), stdout);
    std::fflush(stdout);
  }
}

int Batch::run(int jobs) {
  const auto start = std::chrono::steady_clock::now();
  const std::size_t total = options_.photos.size();
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < total;) report(process(i));
  };
  std::vector<std::thread> workers;
  const int threads =
      static_cast<int>(std::min<std::size_t>(jobs, std::max<std::size_t>(total, 1)));
  for (int k = 1; k < threads; ++k) workers.emplace_back(work);
  work();
  for (std::thread& worker : workers) worker.join();
  std::cerr << saved_ << " of " << total << " saved, " << skipped_ << " skipped, " << unreadable_
            << " unreadable, " << unsaved_ << " not saved, " << tenths(secondsSince(start)) << '\n';
  if (unsaved_) return 2;
  return unreadable_ ? 1 : 0;
}

// The options that take a value.
bool takesValue(const std::string& name) {
  return name == "--apply" || name == "--apply-from" || name == "--jobs" ||
         name == "--files-from" || name == "--output-dir" || name == "--log";
}

}  // namespace

bool isBatchOption(const std::string& arg) {
  const std::string name = arg.substr(0, arg.find('='));
  return takesValue(name) || arg == "-0" || arg == "--skip-done";
}

bool parseBatchArguments(int argc, char** args, BatchOptions& options, std::string& error) {
  bool photosOnly = false;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = args[i];
    if (photosOnly || arg.size() < 2 || arg[0] != '-') {
      options.photos.push_back(arg);
      continue;
    }
    if (arg == "--") {
      photosOnly = true;
      continue;
    }
    if (arg == "-0") {
      options.nulSeparated = true;
      continue;
    }
    if (arg == "--skip-done") {
      options.skipDone = true;
      continue;
    }
    const std::size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    if (!takesValue(name)) {
      error = "unknown option " + arg;
      return false;
    }
    std::string value;
    if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
    } else if (i + 1 < argc) {
      value = args[++i];
    } else {
      error = name + " needs a value";
      return false;
    }
    if (name == "--apply" || name == "--apply-from") {
      if (!options.recipeOption.empty()) {
        error = "one recipe at a time: " + options.recipeOption + " and " + name;
        return false;
      }
      options.recipeOption = name;
      options.recipeArgument = value;
    } else if (name == "--jobs") {
      char* rest = nullptr;
      const long jobs = std::strtol(value.c_str(), &rest, 10);
      if (value.empty() || *rest != '\0' || jobs < 1 || jobs > kMaxJobs) {
        error = "--jobs needs a whole number from 1 to " + std::to_string(kMaxJobs);
        return false;
      }
      options.jobs = static_cast<int>(jobs);
    } else if (name == "--files-from") {
      options.filesFrom = value;
    } else if (name == "--output-dir") {
      if (value.empty()) {
        error = "--output-dir needs a folder";
        return false;
      }
      options.outputDir = value;
    } else if (value == "jsonl") {
      options.jsonLog = true;
    } else {
      error = "--log knows only jsonl";
      return false;
    }
  }
  if (options.recipeOption.empty()) {
    error = "a batch needs --apply RECIPE or --apply-from EDITED_.jpg";
  } else if (options.nulSeparated && options.filesFrom.empty()) {
    error = "-0 goes with --files-from";
  } else if (options.photos.empty() && options.filesFrom.empty()) {
    error = options.recipeOption + " needs a " +
            (options.recipeOption == "--apply" ? "recipe" : "file") + " and at least one photo";
  }
  return error.empty();
}

int runBatch(int argc, char** args) {
  BatchOptions options;
  std::string error;
  if (!parseBatchArguments(argc, args, options, error)) {
    std::cerr << "lumivet-tool: " << error << '\n';
    return 2;
  }
  // Photo-sized buffers come and go with every photo. Mapped from the system afresh each time,
  // every page of them faults in again, which on a 12-megapixel photo costs as much as a light
  // recipe; kept in the heap, the next photo reuses them. The memory budget bounds the heap.
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, std::numeric_limits<int>::max());
  // Before exiv2 reads any file: its first use sets up the toolkit.
  prepareXmpForThreads();
  std::string recipeText = options.recipeArgument;
  if (options.recipeOption == "--apply-from" && !readRecipe(options.recipeArgument, recipeText)) {
    std::cerr << "lumivet-tool: \"" << options.recipeArgument << "\" holds no recipe\n";
    return 2;
  }
  std::vector<StageStep> chain;
  if (!parseRecipe(recipeText, chain, error)) {
    std::cerr << "lumivet-tool: bad recipe: " << error << '\n';
    return 2;
  }
  if (options.filesFrom == "-") {
    readPhotoList(std::cin, options.nulSeparated, options.photos);
  } else if (!options.filesFrom.empty()) {
    std::ifstream list(options.filesFrom, std::ios::binary);
    if (!list) {
      std::cerr << "lumivet-tool: cannot read the list of photos \"" << options.filesFrom
                << "\": " << std::strerror(errno) << '\n';
      return 2;
    }
    readPhotoList(list, options.nulSeparated, options.photos);
  }
  // The cores this process may run on, which taskset or a container may limit.
  cpu_set_t cpus;
  const int cores = ::sched_getaffinity(0, sizeof cpus, &cpus) == 0
                        ? CPU_COUNT(&cpus)
                        : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  const int jobs = options.jobs > 0 ? options.jobs : cores;
  Batch batch(std::move(options), std::move(chain));
  if (!batch.place()) return 2;
  return batch.run(jobs);
}
