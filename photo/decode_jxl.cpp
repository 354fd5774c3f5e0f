// JPEG XL photos through libjxl: the first frame turned upright by the codestream's orientation, in
// the colour space it was made in with the matching ICC profile, and the Exif and "xml " (XMP)
// boxes.
#include <jxl/decode.h>
#include <jxl/decode_cxx.h>
#include <jxl/encode.h>  // the colour encodings named sRGB and linear sRGB
#include <jxl/thread_parallel_runner.h>
#include <jxl/thread_parallel_runner_cxx.h>
#include <jxl/version.h>

#include <cstring>
#include <opencv2/imgproc.hpp>

#include "photo/colour.hpp"
#include "photo/decoders.hpp"

namespace {

// Metadata boxes larger than this are left out.
constexpr std::size_t kMaxBoxBytes = 16 << 20;
// libjxl 0.9 dropped the pixel format argument of the colour profile getters.
#if JPEGXL_NUMERIC_VERSION >= JPEGXL_COMPUTE_NUMERIC_VERSION(0, 9, 0)
#define JXL_PROFILE_ARGS(target) target
#else
#define JXL_PROFILE_ARGS(target) nullptr, target
#endif

bool isPlainSrgb(const JxlColorEncoding& c) {
  return c.color_space == JXL_COLOR_SPACE_RGB && c.white_point == JXL_WHITE_POINT_D65 &&
         c.primaries == JXL_PRIMARIES_SRGB && c.transfer_function == JXL_TRANSFER_FUNCTION_SRGB;
}

// The ICC profile of the file as made (`target` ORIGINAL) or of the samples as decoded (DATA).
Profile profileOf(const JxlDecoder* dec, JxlColorProfileTarget target) {
  std::size_t size = 0;
  Profile icc;
  if (JxlDecoderGetICCProfileSize(dec, JXL_PROFILE_ARGS(target), &size) != JXL_DEC_SUCCESS ||
      size == 0 || size > kMaxBoxBytes)
    return icc;
  icc.resize(size);
  if (JxlDecoderGetColorAsICCProfile(dec, JXL_PROFILE_ARGS(target), icc.data(), icc.size()) !=
      JXL_DEC_SUCCESS)
    icc.clear();
  return icc;
}

struct Box {
  std::string type;
  std::vector<uint8_t> data;
};

// Decodes the file's header, and unless `headerOnly` its first frame, profile and metadata.
bool decode(const std::vector<uint8_t>& bytes, bool headerOnly, cv::Size& size,
            DecodedPhoto* photo) {
  JxlDecoderPtr decoder = JxlDecoderMake(nullptr);
  if (!decoder) return false;
  JxlDecoder* dec = decoder.get();
  JxlThreadParallelRunnerPtr runner;
  int events = JXL_DEC_BASIC_INFO;
  if (!headerOnly) {
    events |= JXL_DEC_COLOR_ENCODING | JXL_DEC_FRAME | JXL_DEC_FULL_IMAGE | JXL_DEC_BOX;
    runner = JxlThreadParallelRunnerMake(nullptr, std::size_t(decodingThreads));
    if (!runner ||
        JxlDecoderSetParallelRunner(dec, JxlThreadParallelRunner, runner.get()) != JXL_DEC_SUCCESS)
      return false;
    JxlDecoderSetDecompressBoxes(dec, JXL_TRUE);  // brotli-compressed "brob" boxes come out plain
  }
  if (JxlDecoderSubscribeEvents(dec, events) != JXL_DEC_SUCCESS ||
      JxlDecoderSetInput(dec, bytes.data(), bytes.size()) != JXL_DEC_SUCCESS)
    return false;
  JxlDecoderCloseInput(dec);

  JxlBasicInfo info = {};
  cv::Mat samples, scratch;  // the first frame; later frames of an animation are skipped
  bool haveFrame = false;
  Profile icc, wideProfile;  // the samples' profile; the profile a lossy file was made in
  Box box, exif, xmp;
  const auto finishBox = [&] {
    if (box.type.empty()) return;
    const std::size_t unused = JxlDecoderReleaseBoxBuffer(dec);
    box.data.resize(box.data.size() - std::min(unused, box.data.size()));
    if (box.type == "Exif" && exif.type.empty()) exif = std::move(box);
    if (box.type == "xml " && xmp.type.empty()) xmp = std::move(box);
    box = Box();
  };
  for (;;) {
    const JxlDecoderStatus status = JxlDecoderProcessInput(dec);
    if (status == JXL_DEC_ERROR || status == JXL_DEC_NEED_MORE_INPUT) return false;
    if (status == JXL_DEC_SUCCESS) break;
    if (status == JXL_DEC_BASIC_INFO) {
      if (JxlDecoderGetBasicInfo(dec, &info) != JXL_DEC_SUCCESS || info.xsize == 0 ||
          info.ysize == 0 || info.xsize > INT32_MAX || info.ysize > INT32_MAX)
        return false;
      size = cv::Size(int(info.xsize), int(info.ysize));
      if (headerOnly) return true;
    } else if (status == JXL_DEC_COLOR_ENCODING) {
      JxlColorEncoding original;
      const bool encoded = JxlDecoderGetColorAsEncodedProfile(
                               dec, JXL_PROFILE_ARGS(JXL_COLOR_PROFILE_TARGET_ORIGINAL),
                               &original) == JXL_DEC_SUCCESS;
      const bool hdr = encoded && (original.transfer_function == JXL_TRANSFER_FUNCTION_PQ ||
                                   original.transfer_function == JXL_TRANSFER_FUNCTION_HLG);
      if (!info.uses_original_profile && info.num_color_channels == 3) {
        // A lossy file is stored as XYB and must be converted into the space it was made in. It
        // comes out as linear sRGB in floating point, whose values beyond 0 to 1 keep the colours
        // outside sRGB, and LittleCMS takes it into the profile of that space: libjxl 0.7 cannot
        // convert into a space given by an ICC profile (Adobe RGB, say), and this way both
        // versions give the same samples. sRGB itself, and HDR curves (shown without tone
        // mapping), come straight from libjxl.
        JxlColorEncoding target = original;
        if (!hdr && !(encoded && isPlainSrgb(original))) {
          wideProfile = profileOf(dec, JXL_COLOR_PROFILE_TARGET_ORIGINAL);
          if (profileSpace(wideProfile) != ProfileSpace::kRgb) wideProfile.clear();
        }
        if (!wideProfile.empty()) {
          JxlColorEncodingSetToLinearSRGB(&target, JXL_FALSE);
        } else if (!encoded) {
          JxlColorEncodingSetToSRGB(&target, JXL_FALSE);
        }
        JxlDecoderSetPreferredColorProfile(dec, &target);
      }
      if (hdr) photo->note = "HDR photo shown without tone mapping: its tones are approximate";
    } else if (status == JXL_DEC_FRAME) {
      if (haveFrame && JxlDecoderSkipCurrentFrame(dec) != JXL_DEC_SUCCESS) return false;
    } else if (status == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
      // The profile of the samples as they come out, now that the output space is settled.
      JxlColorEncoding data;
      const bool plain =
          JxlDecoderGetColorAsEncodedProfile(dec, JXL_PROFILE_ARGS(JXL_COLOR_PROFILE_TARGET_DATA),
                                             &data) == JXL_DEC_SUCCESS &&
          isPlainSrgb(data);
      if (!wideProfile.empty()) {
        icc = wideProfile;
      } else if (!plain) {
        icc = profileOf(dec, JXL_COLOR_PROFILE_TARGET_DATA);
      }
      const uint32_t channels = info.num_color_channels == 1 ? 1 : 3;
      const bool floats = !wideProfile.empty();
      const JxlPixelFormat format = {channels, floats ? JXL_TYPE_FLOAT : JXL_TYPE_UINT8,
                                     JXL_NATIVE_ENDIAN, 0};
      const bool turned = info.orientation >= JXL_ORIENT_TRANSPOSE;
      const int rows = int(turned ? info.xsize : info.ysize);
      const int cols = int(turned ? info.ysize : info.xsize);
      cv::Mat& target = haveFrame ? scratch : samples;
      target.create(rows, cols, CV_MAKETYPE(floats ? CV_32F : CV_8U, int(channels)));
      std::size_t needed = 0;
      if (JxlDecoderImageOutBufferSize(dec, &format, &needed) != JXL_DEC_SUCCESS ||
          needed != target.total() * target.elemSize() ||
          JxlDecoderSetImageOutBuffer(dec, &format, target.data, needed) != JXL_DEC_SUCCESS)
        return false;
    } else if (status == JXL_DEC_FULL_IMAGE) {
      haveFrame = true;
    } else if (status == JXL_DEC_BOX) {
      finishBox();
      char type[4];
      if (JxlDecoderGetBoxType(dec, type, JXL_TRUE) != JXL_DEC_SUCCESS) return false;
      const std::string name(type, 4);
      if ((name == "Exif" && exif.type.empty()) || (name == "xml " && xmp.type.empty())) {
        box.type = name;
        box.data.resize(1 << 12);
        JxlDecoderSetBoxBuffer(dec, box.data.data(), box.data.size());
      }
    } else if (status == JXL_DEC_BOX_NEED_MORE_OUTPUT) {
      const std::size_t unused = JxlDecoderReleaseBoxBuffer(dec);
      const std::size_t used = box.data.size() - unused;
      if (box.data.size() * 2 > kMaxBoxBytes) {
        box = Box();  // too big to be metadata: the rest of it is skipped
        continue;
      }
      box.data.resize(box.data.size() * 2);
      JxlDecoderSetBoxBuffer(dec, box.data.data() + used, box.data.size() - used);
    }
  }
  finishBox();
  if (!haveFrame) return false;
  if (samples.depth() == CV_32F) {
    photo->image = linearSrgbToProfile(samples, wideProfile);
    if (photo->image.empty()) return false;
  } else {
    cv::cvtColor(samples, photo->image,
                 samples.channels() == 1 ? cv::COLOR_GRAY2BGR : cv::COLOR_RGB2BGR);
  }
  // The Exif box is stored as HEIF stores it: an offset to the TIFF header, then the data.
  photo->metadata =
      metadataFromBlocks(exif.data, std::string(xmp.data.begin(), xmp.data.end()), std::move(icc));
  return true;
}

}  // namespace

bool isJxl(const Bytes& head) {
  return JxlSignatureCheck(head.data(), head.size()) >= JXL_SIG_CODESTREAM;
}

bool jxlSize(const Bytes& bytes, cv::Size& size) {
  return decode(bytes, true, size, nullptr);
}

bool decodeJxl(const Bytes& bytes, DecodedPhoto& photo) {
  cv::Size size;
  return decode(bytes, false, size, &photo);
}
