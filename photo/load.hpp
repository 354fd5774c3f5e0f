// Opening the photo: only regular files, only when memory allows, decoded by the decoder its
// signature names, with its metadata read up front.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <string>

#include "photo/metadata.hpp"
#include "photo/sandbox.hpp"

struct LoadedPhoto {
  cv::Mat image;           // 8-bit BGR; empty when the photo could not be opened
  PhotoMetadata metadata;  // read at open, written at save
  std::string error;       // why the photo could not be opened, for the user
  std::string why;         // when its decoder itself failed (crashed, was stopped), how
  std::string note;        // how it opened, when the user should know (for the status line)
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
