// Saving the result: JPEG encoding and a write that never leaves a half-written file behind.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

// Encodes `image` as JPEG with the library's default settings. On failure returns false and
// says why in `error`.
bool encodeJpeg(const cv::Mat& image, std::vector<unsigned char>& bytes, std::string& error);

// The error of a target name longer than its folder's file system allows.
inline constexpr const char* kNameTooLong = "the name is too long for this folder";
// The error of a write that keeps a file already there, when one is.
inline constexpr const char* kNameTaken = "a file of that name is there already";

// Writes `bytes` to `path` through a temporary file in the same folder that is flushed to disk and
// then renamed over `path`; the folder is flushed too. So `path` holds either its old content or
// all of the new one. With `replace` false a file at `path` stays, however late it came, and the
// write fails with kNameTaken. On failure nothing is left behind, the function returns false and
// `error` says why.
bool writeFileAtomically(const std::string& path, const std::vector<unsigned char>& bytes,
                         std::string& error, bool replace = true);
