// Opening the photo: only regular files, only when memory allows, decoded by the decoder its
// signature names, with its metadata read up front.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <opencv2/core.hpp>
#include <string>

#include "photo/metadata.hpp"
#include "photo/sandbox.hpp"

struct LoadedPhoto {
  cv::Mat image;               // 8-bit BGR; empty when the photo could not be opened
  PhotoMetadata metadata;      // read at open, written at save
  std::string error;           // why the photo could not be opened, for the user
  std::string why;             // when its decoder itself failed (crashed, was stopped), how
  std::string note;            // how it opened, when the user should know (for the status line)
  std::uint64_t reserved = 0;  // memory taken from a MemoryBudget for it, to be given back
  HelperEnd decoderEnd = HelperEnd::kNotStarted;
};

// Memory the kernel says can be given out without swapping (MemAvailable), in bytes; 0 if unknown.
std::uint64_t availableMemory();

// Memory a session on a photo of `size` needs beyond the tool's idle footprint: about five times
// its 8-bit BGR bytes (the photo, the base, the result and the working copies of a stage).
std::uint64_t sessionMemory(cv::Size size);

// Opens the photo at `path`. Anything but a regular file is refused before it is opened, so a pipe
// or a device cannot block. The photo is read in the sandboxed decoding helper, which chooses its
// decoder by the file's signature and reads the size from the header first; a session needing
// more than `memoryLimit` bytes (0: no limit) is refused before decoding. A damaged file of any
// format, and a decoder that crashes or is stopped, give the same message.
LoadedPhoto loadPhoto(const std::string& path, std::uint64_t memoryLimit);

// The memory that photos worked on side by side (the batch) share. A photo takes its session's
// memory once its size is known, before it is decoded, and gives it back when its work is done;
// a photo that does not fit beside the ones in flight waits for them, so that fewer run at once
// when memory is short.
class MemoryBudget {
 public:
  // `measure` gives the memory there is (0: unknown, no limit). It is asked again whenever no
  // photo is in flight, since other programs come and go during a long run.
  explicit MemoryBudget(std::function<std::uint64_t()> measure = availableMemory);

  // Waits until `needed` bytes fit beside the photos in flight, takes them and returns the memory
  // there is. Returns that figure at once, taking nothing, when it is less than `needed`.
  std::uint64_t take(std::uint64_t needed);
  void give(std::uint64_t bytes);

 private:
  std::function<std::uint64_t()> measure_;
  std::mutex mutex_;
  std::condition_variable freed_;
  std::uint64_t total_ = 0;
  std::uint64_t taken_ = 0;
  int inFlight_ = 0;
};

// Opens the photo as above, with its session's memory taken from `budget` (LoadedPhoto::reserved,
// nothing when it cannot be opened).
LoadedPhoto loadPhoto(const std::string& path, MemoryBudget& budget);
