// The tool's side of the decoding helper: every photo, and every file a recipe is read from, is
// read by lumivet-decode in a process of its own, locked down before it reads a byte, within a time
// and a memory limit. What comes back is checked as the untrusted input it is.
#pragma once

#include <cstdint>
#include <functional>
#include <opencv2/core.hpp>
#include <string>

#include "photo/metadata.hpp"

// How the helper ended.
enum class HelperEnd {
  kReplied,       // it decoded the photo, or said why it could not
  kNotStarted,    // it could not be started, or could not set up its sandbox
  kRefused,       // the photo needs more memory than the limit the tool gave
  kFilterKilled,  // it made a call its sandbox does not allow
  kTimedOut,      // it passed its deadline and was killed
  kOutOfMemory,   // it ran out of the memory it was given
  kCrashed,       // it died of a signal, or ended without a reply
  kBadReply,      // its reply was malformed or out of bounds
};

struct SandboxedPhoto {
  cv::Mat image;  // 8-bit BGR, upright; empty when the photo could not be read
  cv::Size size;  // the size its header gave
  PhotoMetadata metadata;
  std::string note;  // how it opened, when the user should know
  HelperEnd end = HelperEnd::kNotStarted;
  std::string why;  // what went wrong, in a few words, for stderr
};

// Starts the decoding helper ahead of the first photo (it is started when first needed anyway): its
// libraries take a while to set up.
void startDecodingHelper();

// Opens the regular file at `path` for reading, without blocking on a pipe and without touching a
// device: its type is looked at before it is opened, and again after. -1 when it is no such file.
int openRegularFile(const std::string& path);

// Reads the photo open as `fd` (a regular file) in the helper. `fits` decides from the header's
// size whether the photo may be decoded at all; when it says no, the result has the size and no
// image.
SandboxedPhoto decodeInSandbox(int fd, const std::function<bool(cv::Size)>& fits);

// The XMP packet of the file open as `fd`, read in the helper; false when it cannot be read.
bool readXmpInSandbox(int fd, std::string& packet);
