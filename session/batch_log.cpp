// JSON lines of the batch.
#include "session/batch_log.hpp"

#include <cstdio>

namespace {

// The length of the valid UTF-8 sequence at text[i], or 0 when the byte there starts none:
// overlong forms, surrogates and code points past U+10FFFF are invalid.
std::size_t utf8Length(const std::string& text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  std::size_t length;
  unsigned char low = 0x80, high = 0xbf;  // the range of the second byte
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;
    if (lead == 0xed) high = 0x9f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (i + length > text.size() || byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xbf) return 0;
  }
  return length;
}

// `text` as a JSON string; `valid` tells whether it was valid UTF-8.
std::string quoted(const std::string& text, bool& valid) {
  valid = true;
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = utf8Length(text, i);
    if (length == 0) {
      out += "\xef\xbf\xbd";  // U+FFFD
      valid = false;
      ++i;
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out.append(text, i, length);
    }
    i += length;
  }
  return out + '"';
}

std::string base64(const std::string& bytes) {
  static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    unsigned value = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) value |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) value |= static_cast<unsigned char>(bytes[i + 2]);
    for (std::size_t k = 0; k < 4; ++k) {
      out += i + k <= bytes.size() ? digits[(value >> (18 - 6 * k)) & 63] : '=';
    }
  }
  return out;
}

// `"key": "value"`, then the exact bytes when the value is not valid UTF-8.
std::string nameField(const char* key, const std::string& value) {
  bool valid;
  std::string field = std::string("\"") + key + "\": " + quoted(value, valid);
  if (!valid) field += std::string(", \"") + key + "_base64\": \"" + base64(value) + '"';
  return field;
}

}  // namespace

std::string jsonLine(const PhotoReport& report) {
  bool valid;
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f", report.seconds);
  std::string line = "{" + nameField("input", report.input) + ", ";
  line += report.output.empty() ? "\"output\": null" : nameField("output", report.output);
  line += std::string(", \"status\": \"") + report.status + "\", \"seconds\": " + seconds;
  return line + ", \"message\": " + quoted(report.message, valid) + "}\n";
}
