// The table of photo decoders, and what they share.
#include "photo/decoders.hpp"

#include <array>
#include <fstream>
#include <opencv2/core.hpp>

namespace {

// Checked in this order. What no signature claims is offered to LibRaw, which knows many more raw
// formats by their content (Canon's CRW, say) than the table lists.
constexpr std::array<PhotoDecoder, 5> kDecoders = {{
    {"HEIF/AVIF", isHeif, heifSize, decodeHeif},
    {"JPEG XL", isJxl, jxlSize, decodeJxl},
    {"camera raw", isRaw, rawSize, decodeRaw},
    {"image library", isLibraryImage, librarySize, decodeWithLibrary},
    {"camera raw by content", isAnything, rawContentSize, decodeRaw},
}};

}  // namespace

const PhotoDecoder& decoderFor(const std::string& path) {
  Signature head(kSignatureBytes);
  std::ifstream file(path, std::ios::binary);
  file.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<std::size_t>(std::max<std::streamsize>(file.gcount(), 0)));
  for (const PhotoDecoder& decoder : kDecoders) {
    if (decoder.matches(path, head)) return decoder;
  }
  return kDecoders.back();
}

bool isAnything(const std::string&, const Signature&) {
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
