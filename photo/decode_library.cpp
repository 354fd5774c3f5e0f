// The formats of the image library (JPEG, PNG, TIFF, WebP, BMP, JPEG 2000, PBM, PGM, PPM, PNM,
// Sun raster), decoded from memory by its reader, which turns JPEGs and TIFFs upright by their
// orientation; metadata through exiv2. A CMYK JPEG or TIFF with its own profile is converted
// through that profile. Their sizes come from headers read here, so that the memory a photo needs
// is known before it is decoded.
#include <cctype>
#include <cstring>
#include <opencv2/imgcodecs.hpp>

#include "photo/colour.hpp"
#include "photo/decoders.hpp"

namespace {

// Reads the numbers of a header at given offsets, refusing any past the end.
class Header {
 public:
  explicit Header(const Bytes& file) : file_(file) {}
  bool has(std::size_t at, std::size_t n) const {
    return at <= file_.size() && file_.size() - at >= n;
  }
  bool starts(std::size_t at, const char* text, std::size_t n) const {
    return has(at, n) && std::memcmp(file_.data() + at, text, n) == 0;
  }
  uint64_t big(std::size_t at, int n) const {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | file_[at + std::size_t(i)];
    return v;
  }
  uint64_t little(std::size_t at, int n) const {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | file_[at + std::size_t(i)];
    return v;
  }
  std::size_t size() const { return file_.size(); }
  unsigned char operator[](std::size_t at) const { return file_[at]; }

 private:
  const Bytes& file_;
};

bool sized(uint64_t width, uint64_t height, cv::Size& size) {
  if (width == 0 || height == 0 || width > INT32_MAX || height > INT32_MAX) return false;
  size = cv::Size(int(width), int(height));
  return true;
}

// The frame header (SOF0 to SOF15, but DHT, JPG and DAC) before the first scan.
bool jpegSize(const Header& h, cv::Size& size) {
  std::size_t at = 2;
  while (h.has(at, 4) && h[at] == 0xFF) {
    const unsigned marker = h[at + 1];
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    if (marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {
      at += 2;
      continue;
    }
    const std::size_t length = std::size_t(h.big(at + 2, 2));
    if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC)
      return h.has(at + 5, 4) && sized(h.big(at + 7, 2), h.big(at + 5, 2), size);
    if (marker == 0xDA || length < 2) return false;
    at += 2 + length;
  }
  return false;
}

// ImageWidth and ImageLength of the first directory, in a TIFF or a BigTIFF.
bool tiffSize(const Header& h, cv::Size& size) {
  const bool little = h[0] == 'I';
  const auto number = [&](std::size_t at, int n) {
    return little ? h.little(at, n) : h.big(at, n);
  };
  const bool bigTiff = number(2, 2) == 43;
  const int offsetBytes = bigTiff ? 8 : 4, countBytes = bigTiff ? 8 : 2,
            entryBytes = bigTiff ? 20 : 12;
  const std::size_t first = bigTiff ? 8 : 4;
  if (!h.has(first, std::size_t(offsetBytes))) return false;
  const uint64_t ifd = number(first, offsetBytes);
  if (ifd > h.size() || !h.has(std::size_t(ifd), std::size_t(countBytes))) return false;
  const uint64_t count = std::min<uint64_t>(number(std::size_t(ifd), countBytes), 4096);
  uint64_t width = 0, height = 0;
  for (uint64_t i = 0; i < count; ++i) {
    const std::size_t entry =
        std::size_t(ifd) + std::size_t(countBytes) + std::size_t(i) * std::size_t(entryBytes);
    if (!h.has(entry, std::size_t(entryBytes))) return false;
    const uint64_t tag = number(entry, 2), type = number(entry + 2, 2);
    const std::size_t value = entry + 4 + std::size_t(offsetBytes);  // inline: SHORT or LONG
    const uint64_t v = type == 3    ? number(value, 2)
                       : type == 4  ? number(value, 4)
                       : type == 16 ? number(value, 8)
                                    : 0;
    if (tag == 256) width = v;
    if (tag == 257) height = v;
  }
  return sized(width, height, size);
}

// The lossy, lossless and extended formats' frame sizes.
bool webpSize(const Header& h, cv::Size& size) {
  if (h.starts(12, "VP8 ", 4) && h.has(26, 4))
    return sized(h.little(26, 2) & 0x3FFF, h.little(28, 2) & 0x3FFF, size);
  if (h.starts(12, "VP8L", 4) && h.has(21, 4)) {
    const uint64_t bits = h.little(21, 4);
    return sized((bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1, size);
  }
  if (h.starts(12, "VP8X", 4) && h.has(24, 6))
    return sized(h.little(24, 3) + 1, h.little(27, 3) + 1, size);
  return false;
}

// The first numbers of a portable bitmap's text header: the width and the height.
bool portableSize(const Header& h, cv::Size& size) {
  std::size_t at = 2;
  uint64_t numbers[2] = {0, 0};
  for (uint64_t& number : numbers) {
    while (at < h.size() && (std::isspace(h[at]) || h[at] == '#')) {
      if (h[at] == '#') {
        while (at < h.size() && h[at] != '\n') ++at;
      } else {
        ++at;
      }
    }
    const std::size_t start = at;
    while (at < h.size() && std::isdigit(h[at]) && at - start < 10)
      number = number * 10 + (h[at++] - '0');
    if (at == start) return false;
  }
  return sized(numbers[0], numbers[1], size);
}

// A JP2 file's image header box, or a codestream's SIZ segment.
bool jpeg2000Size(const Header& h, cv::Size& size) {
  if (h.starts(0, "\xFF\x4F\xFF\x51", 4))
    return h.has(8, 16) && h.big(8, 4) > h.big(16, 4) && h.big(12, 4) > h.big(20, 4) &&
           sized(h.big(8, 4) - h.big(16, 4), h.big(12, 4) - h.big(20, 4), size);
  for (std::size_t at = 0; h.has(at, 8);) {  // top-level boxes, then the header box's children
    const uint64_t length = h.big(at, 4);
    if (h.starts(at + 4, "jp2h", 4)) {
      at += 8;
      continue;
    }
    if (h.starts(at + 4, "ihdr", 4))
      return h.has(at + 8, 8) && sized(h.big(at + 12, 4), h.big(at + 8, 4), size);
    if (length < 8) return false;
    at += std::size_t(length);
  }
  return false;
}

enum class Format { kNone, kJpeg, kPng, kTiff, kBmp, kWebp, kJpeg2000, kSunRaster, kPortable };

Format formatOf(const Header& h) {
  if (h.starts(0, "\xFF\xD8\xFF", 3)) return Format::kJpeg;
  if (h.starts(0, "\x89PNG\r\n\x1A\n", 8)) return Format::kPng;
  if (h.starts(0, "II*\0", 4) || h.starts(0, "MM\0*", 4) || h.starts(0, "II+\0", 4) ||
      h.starts(0, "MM\0+", 4))
    return Format::kTiff;
  if (h.starts(0, "BM", 2)) return Format::kBmp;
  if (h.starts(0, "RIFF", 4) && h.starts(8, "WEBP", 4)) return Format::kWebp;
  if (h.starts(0, "\0\0\0\x0CjP  \r\n\x87\n", 12) || h.starts(0, "\xFF\x4F\xFF\x51", 4))
    return Format::kJpeg2000;
  if (h.starts(0, "\x59\xA6\x6A\x95", 4)) return Format::kSunRaster;
  // PBM, PGM and PPM, as text (P1 to P3) or binary (P4 to P6).
  if (h.has(0, 3) && h[0] == 'P' && h[1] >= '1' && h[1] <= '6' && std::isspace(h[2]))
    return Format::kPortable;
  return Format::kNone;
}

// The CMYK samples of a JPEG or TIFF in sRGB through `profile`, upright; empty when the file holds
// no CMYK samples these readers take.
cv::Mat cmykThroughProfile(const Bytes& file, const Profile& profile, int orientation) {
  cv::Mat cmyk;
  bool inverted = false;
  if (!readCmykJpeg(file, cmyk, inverted) && !readCmykTiff(file, cmyk)) return {};
  const cv::Mat bgr = cmykToSrgb(cmyk, profile, inverted);
  return bgr.empty() ? bgr : orientUpright(bgr, orientation);
}

}  // namespace

bool isLibraryImage(const Bytes& file) {
  return formatOf(Header(file)) != Format::kNone;
}

bool librarySize(const Bytes& file, cv::Size& size) {
  const Header h(file);
  switch (formatOf(h)) {
    case Format::kJpeg:
      return jpegSize(h, size);
    case Format::kPng:
      return h.starts(12, "IHDR", 4) && h.has(16, 8) && sized(h.big(16, 4), h.big(20, 4), size);
    case Format::kTiff:
      return tiffSize(h, size);
    case Format::kBmp: {
      if (!h.has(14, 12)) return false;
      if (h.little(14, 4) == 12) return sized(h.little(18, 2), h.little(20, 2), size);
      const int64_t height = int32_t(uint32_t(h.little(22, 4)));  // negative: stored top down
      return sized(h.little(18, 4), uint64_t(height < 0 ? -height : height), size);
    }
    case Format::kWebp:
      return webpSize(h, size);
    case Format::kJpeg2000:
      return jpeg2000Size(h, size);
    case Format::kSunRaster:
      return h.has(4, 8) && sized(h.big(4, 4), h.big(8, 4), size);
    case Format::kPortable:
      return portableSize(h, size);
    case Format::kNone:
      break;
  }
  return false;
}

bool decodeWithLibrary(const Bytes& file, DecodedPhoto& photo) {
  int orientation = 1;
  photo.metadata = readMetadata(file, &orientation);
  if (profileSpace(photo.metadata.icc) == ProfileSpace::kCmyk) {
    photo.image = cmykThroughProfile(file, photo.metadata.icc, orientation);
    if (!photo.image.empty()) {
      photo.metadata.icc = srgbProfile();
      return true;
    }
  }
  // Into the image's buffer, when it has one that fits. What the call returns says whether it
  // worked: OpenCV 4.10 leaves the buffer as it was when it fails.
  if (cv::imdecode(file, cv::IMREAD_COLOR, &photo.image).empty()) photo.image.release();
  return !photo.image.empty();
}
