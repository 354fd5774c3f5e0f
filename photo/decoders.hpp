// The photo decoders: one per format family, chosen by the file's first bytes, never by its name.
// Each reads the whole file from memory and gives the same result: an upright 8-bit BGR image
// with the photo's metadata. They run in the sandboxed decoding helper only.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "photo/metadata.hpp"

using Bytes = std::vector<unsigned char>;

struct DecodedPhoto {
  cv::Mat image;           // 8-bit BGR, turned upright by the file's own orientation
  PhotoMetadata metadata;  // orientation reset to top-left, the profile the samples are in
  std::string note;        // what the user should know about how it opened; usually empty
};

struct PhotoDecoder {
  const char* family;
  // Whether the file is of this family, from its first bytes (TIFF-based raw files need a look at
  // their directories).
  bool (*matches)(const Bytes& file);
  // The photo's size from its header, before any decoding, as stored (a quarter turn may still
  // swap it); false when the header cannot be read.
  bool (*readSize)(const Bytes& file, cv::Size& size);
  // Decodes the photo; false when it cannot.
  bool (*decode)(const Bytes& file, DecodedPhoto& photo);
  // The memory a decode takes beyond the file itself, in bytes per pixel of the photo, and how long
  // it may take for 50 megapixels on a slow machine.
  int bytesPerPixel;
  int secondsPer50Mp;
};

// The threads a decoder may start. Counting the processors reads files, which the sandboxed
// helper may not do: it counts them before its sandbox closes.
extern int decodingThreads;

// The decoder for `file`: the first family whose signature matches, else LibRaw, which tells raw
// formats by their content.
const PhotoDecoder& decoderFor(const Bytes& file);

// The families, each in its own file.
bool isHeif(const Bytes& file);
bool heifSize(const Bytes& file, cv::Size& size);
bool decodeHeif(const Bytes& file, DecodedPhoto& photo);

bool isJxl(const Bytes& file);
bool jxlSize(const Bytes& file, cv::Size& size);
bool decodeJxl(const Bytes& file, DecodedPhoto& photo);

bool isRaw(const Bytes& file);
bool rawSize(const Bytes& file, cv::Size& size);
bool decodeRaw(const Bytes& file, DecodedPhoto& photo);
// The size of a raw file LibRaw tells by its content, not by the file's size alone (for which any
// file of a listed size would open as noise); false for any other file.
bool rawContentSize(const Bytes& file, cv::Size& size);

// The formats of the image library (JPEG, PNG, TIFF, WebP, BMP, JPEG 2000, the portable formats,
// Sun raster), by their signatures and sizes from their headers.
bool isLibraryImage(const Bytes& file);
bool librarySize(const Bytes& file, cv::Size& size);
bool decodeWithLibrary(const Bytes& file, DecodedPhoto& photo);
// The CMYK samples of a JPEG (`inverted` when 0 means full ink) or a TIFF; false when the file is
// not one, or not one these readers take.
bool readCmykJpeg(const Bytes& file, cv::Mat& cmyk, bool& inverted);
bool readCmykTiff(const Bytes& file, cv::Mat& cmyk);

bool isAnything(const Bytes& file);

// Turns `image` upright from an EXIF orientation (1 to 8); other values leave it as it is.
cv::Mat orientUpright(const cv::Mat& image, int orientation);
