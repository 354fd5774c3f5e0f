// The table of photo decoders, and what they share.
#include "photo/decoders.hpp"

#include <array>
#include <opencv2/core.hpp>

namespace {

// Checked in this order. What no signature claims is offered to LibRaw, which knows many more raw
// formats by their content (Canon's CRW, say) than the table lists. The memory a decode takes:
// the coded planes, the library's own image and the BGR result (JPEG XL's lossy files pass through
// floating point, LibRaw keeps four 16-bit samples a pixel and the developed image). Developing a
// raw file takes longer than decoding a coded one.
constexpr std::array<PhotoDecoder, 5> kDecoders = {{
    {"HEIF/AVIF", isHeif, heifSize, decodeHeif, 16, 10},
    {"JPEG XL", isJxl, jxlSize, decodeJxl, 32, 10},
    {"camera raw", isRaw, rawSize, decodeRaw, 40, 30},
    {"image library", isLibraryImage, librarySize, decodeWithLibrary, 16, 10},
    {"camera raw by content", isAnything, rawContentSize, decodeRaw, 40, 30},
}};

}  // namespace

int decodingThreads = 1;

const PhotoDecoder& decoderFor(const Bytes& file) {
  for (const PhotoDecoder& decoder : kDecoders) {
    if (decoder.matches(file)) return decoder;
  }
  return kDecoders.back();
}

bool isAnything(const Bytes&) {
  return true;
}

cv::Mat orientUpright(const cv::Mat& image, int orientation) {
  cv::Mat out;
  switch (orientation) {
    case 2:
      cv::flip(image, out, 1);
      break;
    case 3:
      cv::rotate(image, out, cv::ROTATE_180);
      break;
    case 4:
      cv::flip(image, out, 0);
      break;
    case 5:
      cv::transpose(image, out);
      break;
    case 6:
      cv::rotate(image, out, cv::ROTATE_90_CLOCKWISE);
      break;
    case 7:
      cv::rotate(image, out, cv::ROTATE_90_CLOCKWISE), cv::flip(out, out, 0);
      break;
    case 8:
      cv::rotate(image, out, cv::ROTATE_90_COUNTERCLOCKWISE);
      break;
    default:
      return image;
  }
  return out;
}
