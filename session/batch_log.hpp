// The batch's machine-readable progress: one JSON object a line for each photo.
#pragma once

#include <string>

struct PhotoReport {
  std::string input;
  std::string output;  // empty when the photo has no place for a result
  const char* status;  // "saved", "skipped", "unreadable", "not saved" or "refused"
  double seconds;
  std::string message;
};

// The report as one line of JSON, ending in a newline: {"input": ..., "output": ..., "status":
// ..., "seconds": ..., "message": ...}. A name that is not valid UTF-8 is written with each bad
// byte replaced by U+FFFD, and its exact bytes go in base64 into "input_base64" or
// "output_base64".
std::string jsonLine(const PhotoReport& report);
