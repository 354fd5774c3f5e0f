// Test photo files of the phone and camera formats, made from generated images.
#include "tests/format_fixtures.hpp"

#include <jxl/encode.h>
#include <jxl/encode_cxx.h>
#include <lcms2.h>
#include <libheif/heif.h>

#include <cmath>
#include <cstring>
#include <exiv2/exiv2.hpp>
#include <fstream>
#include <memory>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

Bytes cameraExif(int exifOrientation) {
  Exiv2::ExifData exif;
  exif["Exif.Image.Make"] = "Lumivet";
  exif["Exif.Image.Model"] = "Test Camera 7";
  exif["Exif.Image.Orientation"] = uint16_t(exifOrientation);
  exif["Exif.Photo.DateTimeOriginal"] = "2026:05:04 10:11:12";
  Exiv2::Blob blob;
  Exiv2::ExifParser::encode(blob, Exiv2::littleEndian, exif);
  return blob;
}

std::string creatorXmp(const std::string& creator) {
  Exiv2::XmpData xmp;
  xmp["Xmp.dc.creator"] = creator;
  std::string packet;
  Exiv2::XmpParser::encode(packet, xmp);
  return packet;
}

Bytes wideGamutProfile() {
  const cmsCIExyY white = {0.3127, 0.3290, 1.0};
  const cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
  cmsToneCurve* gamma = cmsBuildGamma(nullptr, 2.2);
  cmsToneCurve* curves[3] = {gamma, gamma, gamma};
  cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
  cmsFreeToneCurve(gamma);
  cmsUInt32Number size = 0;
  cmsSaveProfileToMem(profile, nullptr, &size);
  Bytes bytes(size);
  cmsSaveProfileToMem(profile, bytes.data(), &size);
  cmsCloseProfile(profile);
  return bytes;
}

Bytes readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

double meanDifference(const cv::Mat& a, const cv::Mat& b) {
  if (a.size() != b.size() || a.type() != b.type()) return 1e9;
  cv::Mat diff;
  cv::absdiff(a, b, diff);
  const cv::Scalar sum = cv::sum(diff);
  return (sum[0] + sum[1] + sum[2]) / (double(a.total()) * a.channels());
}

// ---- HEIF ----

namespace {

struct HeifWriter {
  heif_context* context = heif_context_alloc();
  heif_encoder* encoder = nullptr;
  heif_image* image = nullptr;
  heif_image_handle* handle = nullptr;
  ~HeifWriter() {
    if (handle) heif_image_handle_release(handle);
    if (image) heif_image_release(image);
    if (encoder) heif_encoder_release(encoder);
    heif_context_free(context);
  }
  bool start(const cv::Mat& bgr, bool av1, int bits) {
    if (heif_context_get_encoder_for_format(
            context, av1 ? heif_compression_AV1 : heif_compression_HEVC, &encoder)
            .code != heif_error_Ok)
      return false;
    heif_encoder_set_lossy_quality(encoder, 92);
    const heif_chroma chroma =
        bits == 8 ? heif_chroma_interleaved_RGB : heif_chroma_interleaved_RRGGBB_LE;
    heif_image_create(bgr.cols, bgr.rows, heif_colorspace_RGB, chroma, &image);
    heif_image_add_plane(image, heif_channel_interleaved, bgr.cols, bgr.rows, bits);
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    for (int i = 0; i < bgr.rows; ++i) {
      for (int j = 0; j < bgr.cols; ++j) {
        const cv::Vec3b& p = bgr.at<cv::Vec3b>(i, j);
        for (int c = 0; c < 3; ++c) {
          if (bits == 8) {
            plane[i * stride + 3 * j + c] = p[2 - c];
          } else {
            const int v = p[2 - c] * 4;
            plane[i * stride + 6 * j + 2 * c] = uint8_t(v & 255);
            plane[i * stride + 6 * j + 2 * c + 1] = uint8_t(v >> 8);
          }
        }
      }
    }
    return true;
  }
  bool finish(const std::string& path, const FixtureOptions& options) {
    heif_encoding_options* encoding = heif_encoding_options_alloc();
    encoding->image_orientation = heif_orientation(options.orientation);
    encoding->macOS_compatibility_workaround_no_nclx_profile = 0;  // write the nclx colours
    const bool ok =
        heif_context_encode_image(context, image, encoder, encoding, &handle).code == heif_error_Ok;
    heif_encoding_options_free(encoding);
    if (!ok) return false;
    if (!options.exif.empty())
      heif_context_add_exif_metadata(context, handle, options.exif.data(),
                                     int(options.exif.size()));
    if (!options.xmp.empty())
      heif_context_add_XMP_metadata(context, handle, options.xmp.data(), int(options.xmp.size()));
    return heif_context_write_to_file(context, path.c_str()).code == heif_error_Ok;
  }
};

void setNclx(heif_image* image, int primaries, int transfer) {
  heif_color_profile_nclx* nclx = heif_nclx_color_profile_alloc();
  nclx->color_primaries = heif_color_primaries(primaries);
  nclx->transfer_characteristics = heif_transfer_characteristics(transfer);
  nclx->matrix_coefficients = heif_matrix_coefficients_ITU_R_BT_601_6;
  nclx->full_range_flag = 1;
  heif_image_set_nclx_color_profile(image, nclx);
  heif_nclx_color_profile_free(nclx);
}

}  // namespace

bool writeHeif(const std::string& path, const cv::Mat& image, const FixtureOptions& options,
               bool av1) {
  HeifWriter writer;
  if (!writer.start(image, av1, 8)) return false;
  if (!options.icc.empty())
    heif_image_set_raw_color_profile(writer.image, "prof", options.icc.data(), options.icc.size());
  return writer.finish(path, options);
}

bool writeHdrHeic(const std::string& path, const cv::Mat& image) {
  HeifWriter writer;
  if (!writer.start(image, false, 10)) return false;
  setNclx(writer.image, heif_color_primaries_ITU_R_BT_2020_2_and_2100_0,
          heif_transfer_characteristic_ITU_R_BT_2100_0_PQ);
  return writer.finish(path, {});
}

bool writeDisplayP3Heic(const std::string& path, const cv::Mat& image) {
  HeifWriter writer;
  if (!writer.start(image, false, 8)) return false;
  setNclx(writer.image, heif_color_primaries_SMPTE_EG_432_1,
          heif_transfer_characteristic_IEC_61966_2_1);
  return writer.finish(path, {});
}

// ---- JPEG XL ----

namespace {

bool finishJxl(JxlEncoder* encoder, const std::string& path) {
  JxlEncoderCloseInput(encoder);
  Bytes out(1 << 16);
  uint8_t* next = out.data();
  std::size_t avail = out.size();
  JxlEncoderStatus status;
  while ((status = JxlEncoderProcessOutput(encoder, &next, &avail)) == JXL_ENC_NEED_MORE_OUTPUT) {
    const std::size_t used = std::size_t(next - out.data());
    out.resize(out.size() * 2);
    next = out.data() + used;
    avail = out.size() - used;
  }
  if (status != JXL_ENC_SUCCESS) return false;
  out.resize(std::size_t(next - out.data()));
  writeBytes(path, out);
  return true;
}

}  // namespace

bool writeJxl(const std::string& path, const cv::Mat& image, const FixtureOptions& options) {
  JxlEncoderPtr encoder = JxlEncoderMake(nullptr);
  JxlEncoder* enc = encoder.get();
  const bool boxes = !options.exif.empty() || !options.xmp.empty();
  if (boxes) {
    JxlEncoderUseContainer(enc, JXL_TRUE);
    JxlEncoderUseBoxes(enc);
  }
  JxlBasicInfo info;
  JxlEncoderInitBasicInfo(&info);
  info.xsize = uint32_t(image.cols);
  info.ysize = uint32_t(image.rows);
  info.bits_per_sample = 8;
  info.num_color_channels = 3;
  info.orientation = JxlOrientation(options.orientation);
  info.uses_original_profile = options.lossless ? JXL_TRUE : JXL_FALSE;
  if (JxlEncoderSetBasicInfo(enc, &info) != JXL_ENC_SUCCESS) return false;
  if (!options.icc.empty()) {
    if (JxlEncoderSetICCProfile(enc, options.icc.data(), options.icc.size()) != JXL_ENC_SUCCESS)
      return false;
  } else {
    JxlColorEncoding srgb;
    JxlColorEncodingSetToSRGB(&srgb, JXL_FALSE);
    JxlEncoderSetColorEncoding(enc, &srgb);
  }
  if (!options.exif.empty()) {
    Bytes block = {0, 0, 0, 0};  // no gap before the TIFF header
    block.insert(block.end(), options.exif.begin(), options.exif.end());
    JxlEncoderAddBox(enc, "Exif", block.data(), block.size(), JXL_FALSE);
  }
  if (!options.xmp.empty())
    JxlEncoderAddBox(enc, "xml ", reinterpret_cast<const uint8_t*>(options.xmp.data()),
                     options.xmp.size(), JXL_TRUE);
  if (boxes) JxlEncoderCloseBoxes(enc);
  JxlEncoderFrameSettings* frame = JxlEncoderFrameSettingsCreate(enc, nullptr);
  if (options.lossless)
    JxlEncoderSetFrameLossless(frame, JXL_TRUE);
  else
    JxlEncoderSetFrameDistance(frame, 1.0f);
  cv::Mat rgb;
  cv::cvtColor(image, rgb, cv::COLOR_BGR2RGB);
  const JxlPixelFormat format = {3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
  if (JxlEncoderAddImageFrame(frame, &format, rgb.data, rgb.total() * 3) != JXL_ENC_SUCCESS)
    return false;
  return finishJxl(enc, path);
}

bool writeJxlFromJpeg(const std::string& path, const Bytes& jpeg) {
  JxlEncoderPtr encoder = JxlEncoderMake(nullptr);
  JxlEncoder* enc = encoder.get();
  JxlEncoderUseContainer(enc, JXL_TRUE);
  if (JxlEncoderStoreJPEGMetadata(enc, JXL_TRUE) != JXL_ENC_SUCCESS) return false;
  JxlEncoderFrameSettings* frame = JxlEncoderFrameSettingsCreate(enc, nullptr);
  if (JxlEncoderAddJPEGFrame(frame, jpeg.data(), jpeg.size()) != JXL_ENC_SUCCESS) return false;
  return finishJxl(enc, path);
}

// ---- DNG ----

namespace {

// A little-endian TIFF assembled in memory; each directory is written after the data it points
// at, so every offset is known when it is written.
class TiffBuilder {
 public:
  struct Entry {
    uint16_t tag, type;
    uint32_t count;
    Bytes value;
  };
  TiffBuilder() : file_{'I', 'I', 42, 0, 0, 0, 0, 0} {}

  uint32_t append(const Bytes& data) {
    if (file_.size() % 2) file_.push_back(0);
    const uint32_t at = uint32_t(file_.size());
    file_.insert(file_.end(), data.begin(), data.end());
    return at;
  }
  // Appends a directory with its out-of-line values; returns its offset.
  uint32_t directory(std::vector<Entry> entries, uint32_t next) {
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
    std::vector<uint32_t> offsets;
    for (const Entry& e : entries) offsets.push_back(e.value.size() > 4 ? append(e.value) : 0);
    Bytes ifd;
    put(ifd, uint16_t(entries.size()));
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const Entry& e = entries[i];
      put(ifd, e.tag), put(ifd, e.type), put(ifd, e.count);
      Bytes value = e.value.size() > 4 ? Bytes() : e.value;
      if (e.value.size() > 4) put(value, offsets[i]);
      value.resize(4, 0);
      ifd.insert(ifd.end(), value.begin(), value.end());
    }
    put(ifd, next);
    return append(ifd);
  }
  Bytes finish(uint32_t firstIfd) {
    std::memcpy(&file_[4], &firstIfd, 4);
    return file_;
  }

  template <typename T>
  static void put(Bytes& out, T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i) out.push_back(uint8_t(value >> (8 * i)));
  }

 private:
  Bytes file_;
};

using Entry = TiffBuilder::Entry;

Entry shorts(uint16_t tag, std::vector<uint16_t> values) {
  Bytes b;
  for (uint16_t v : values) TiffBuilder::put(b, v);
  return {tag, 3, uint32_t(values.size()), b};
}
Entry longs(uint16_t tag, std::vector<uint32_t> values) {
  Bytes b;
  for (uint32_t v : values) TiffBuilder::put(b, v);
  return {tag, 4, uint32_t(values.size()), b};
}
Entry bytes(uint16_t tag, Bytes values, uint16_t type = 1) {
  return {tag, type, uint32_t(values.size()), values};
}
Entry ascii(uint16_t tag, const std::string& text) {
  Bytes b(text.begin(), text.end());
  b.push_back(0);
  return {tag, 2, uint32_t(b.size()), b};
}
Entry rationals(uint16_t tag, std::vector<double> values, bool isSigned) {
  Bytes b;
  for (double v : values) {
    TiffBuilder::put(b, uint32_t(int32_t(std::lround(v * 1000000))));
    TiffBuilder::put(b, uint32_t(1000000));
  }
  return {tag, uint16_t(isSigned ? 10 : 5), uint32_t(values.size()), b};
}

double linearFromSrgb(double v) {
  return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

}  // namespace

bool writeDng(const std::string& path, const cv::Mat& image, const FixtureOptions& options,
              bool unknownCompression) {
  const int w = image.cols, h = image.rows;
  TiffBuilder tiff;
  // The sensor: an RGGB mosaic of the image's linear light, 12 bits in 16.
  Bytes raw;
  for (int i = 0; i < h; ++i) {
    for (int j = 0; j < w; ++j) {
      const int channel = (i % 2 == 0 && j % 2 == 0) ? 2 : (i % 2 == 1 && j % 2 == 1) ? 0 : 1;
      const double v = linearFromSrgb(image.at<cv::Vec3b>(i, j)[channel] / 255.0);
      TiffBuilder::put(raw, uint16_t(std::lround(v * 4095)));
    }
  }
  const uint32_t rawBytes = uint32_t(raw.size());
  Bytes preview;
  cv::imencode(".jpg", image, preview);
  const uint32_t previewAt = tiff.append(preview);
  const uint32_t exifIfd = tiff.directory({ascii(0x9003, "2026:05:04 10:11:12")}, 0);
  const uint32_t thumbnailIfd =
      tiff.directory({longs(254, {1}), shorts(259, {6}), longs(513, {previewAt}),
                      longs(514, {uint32_t(preview.size())})},
                     0);
  // Camera space is linear sRGB: the colour matrix maps XYZ (D65) to it.
  const cv::Matx33d srgbToXyz(0.412453, 0.357580, 0.180423, 0.212671, 0.715160, 0.072169, 0.019334,
                              0.119193, 0.950227);
  const cv::Matx33d xyzToCamera = srgbToXyz.inv();
  std::vector<double> matrix(xyzToCamera.val, xyzToCamera.val + 9);
  std::vector<Entry> entries = {longs(254, {0}),
                                longs(256, {uint32_t(w)}),
                                longs(257, {uint32_t(h)}),
                                shorts(258, {16}),
                                shorts(259, {uint16_t(unknownCompression ? 65000 : 1)}),
                                shorts(262, {32803}),
                                ascii(271, "Lumivet"),
                                ascii(272, "Test Camera 7"),
                                shorts(274, {uint16_t(options.orientation)}),
                                shorts(277, {1}),
                                longs(278, {uint32_t(h)}),
                                longs(279, {rawBytes}),
                                shorts(284, {1}),
                                ascii(306, "2026:05:04 10:11:12"),
                                shorts(33421, {2, 2}),
                                bytes(33422, {0, 1, 1, 2}),
                                longs(34665, {exifIfd}),
                                bytes(50706, {1, 4, 0, 0}),
                                ascii(50708, "Lumivet Test Camera 7"),
                                longs(50717, {4095}),
                                rationals(50721, matrix, true),
                                rationals(50728, {1, 1, 1}, false),
                                shorts(50778, {21})};
  entries.push_back(longs(273, {0}));  // StripOffsets: set below, once the strip has its place
  const uint32_t ifd0 = tiff.directory(entries, thumbnailIfd);
  Bytes file = tiff.finish(ifd0);
  // The sensor data comes last, so that a damaged file can lose its end.
  const uint32_t stripAt = uint32_t(file.size() + (file.size() % 2));
  file.resize(stripAt, 0);
  file.insert(file.end(), raw.begin(), raw.end());
  const uint16_t count = uint16_t(file[ifd0] | file[ifd0 + 1] << 8);
  for (uint32_t k = 0; k < count; ++k) {
    uint8_t* e = &file[ifd0 + 2 + 12 * k];
    if ((e[0] | e[1] << 8) == 273) std::memcpy(e + 8, &stripAt, 4);
  }
  writeBytes(path, file);
  return true;
}
