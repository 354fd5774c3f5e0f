// What a result records of the photo it was made from: its file name, its size and a hash of all
// of its bytes. Modification times do not survive every copy, and scans with the same margins
// share their first megabytes, so only the whole content says that a photo is the same.
#pragma once

#include <cstdint>
#include <string>

struct PhotoSource {
  std::string name;  // the photo's file name, without its folder
  std::uint64_t size = 0;
  std::string sha256;  // of the whole file, 64 lowercase hex digits; empty when not known
  bool operator==(const PhotoSource& other) const {
    return name == other.name && size == other.size && sha256 == other.sha256;
  }
};

// Reads the whole file at `path` (a regular file only: a pipe or a device is refused before it is
// read, so it cannot block) and fills `source`. On failure returns false and says why in `error`.
bool identifyPhoto(const std::string& path, PhotoSource& source, std::string& error);
