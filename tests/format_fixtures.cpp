// Test photo files of the phone and camera formats, made from generated images.
#include "tests/format_fixtures.hpp"

#include <jxl/encode.h>
#include <jxl/encode_cxx.h>
#include <lcms2.h>
#include <libheif/heif_cxx.h>

#include <cmath>
#include <cstring>
#include <exiv2/exiv2.hpp>
#include <fstream>
#include <map>
#include <memory>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

FixtureOptions cameraOptions(int orientation) {
  FixtureOptions options;
  options.orientation = orientation;
  Exiv2::ExifData exif;
  exif["Exif.Image.Make"] = "Lumivet";
  exif["Exif.Image.Model"] = "Test Camera 7";
  exif["Exif.Image.Orientation"] = uint16_t(orientation);  // said twice, to be applied once
  exif["Exif.Photo.DateTimeOriginal"] = "2026:05:04 10:11:12";
  Exiv2::ExifParser::encode(options.exif, Exiv2::littleEndian, exif);
  Exiv2::XmpData xmp;
  xmp["Xmp.dc.creator"] = "Someone";
  Exiv2::XmpParser::encode(options.xmp, xmp);
  // A valid RGB profile that is not sRGB: a wide-gamut working space (eciRGB v2's primaries and
  // L* curve). JPEG XL names no such curve, so its encoders store the profile itself.
  const cmsCIExyY white = {0.3457, 0.3585, 1.0};
  const cmsCIExyYTRIPLE primaries = {{0.67, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.14, 0.08, 1.0}};
  const double lightness[] = {3.0, 100.0 / 116, 16.0 / 116, 100 / 903.3, 0.08};
  cmsToneCurve* gamma = cmsBuildParametricToneCurve(nullptr, 4, lightness);
  cmsToneCurve* curves[3] = {gamma, gamma, gamma};
  cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
  cmsUInt32Number size = 0;
  cmsSaveProfileToMem(profile, nullptr, &size);
  options.icc.resize(size);
  cmsSaveProfileToMem(profile, options.icc.data(), &size);
  cmsCloseProfile(profile), cmsFreeToneCurve(gamma);
  return options;
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
  return cv::norm(a, b, cv::NORM_L1) / double(a.total() * a.channels());
}

// ---- HEIF ----

namespace {

// Encodes `bgr` at `bits` (8, or 10 scaled up from it) with the options, and the nclx colour code
// when `primaries` is given. libheif's C++ interface reports failure by throwing.
bool encodeHeif(const std::string& path, const cv::Mat& bgr, const FixtureOptions& options,
                bool av1, int bits, int primaries = 0, int transfer = 0) try {
  cv::Mat rgb;
  cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
  if (bits > 8) rgb.convertTo(rgb, CV_16UC3, 1 << (bits - 8));
  heif::Image image;
  image.create(rgb.cols, rgb.rows, heif_colorspace_RGB,
               bits > 8 ? heif_chroma_interleaved_RRGGBB_LE : heif_chroma_interleaved_RGB);
  image.add_plane(heif_channel_interleaved, rgb.cols, rgb.rows, bits);
  int stride = 0;
  uint8_t* plane = image.get_plane(heif_channel_interleaved, &stride);
  for (int i = 0; i < rgb.rows; ++i)
    std::memcpy(plane + i * stride, rgb.ptr(i), rgb.cols * rgb.elemSize());
  if (!options.icc.empty()) image.set_raw_color_profile(heif_color_profile_type_prof, options.icc);
  heif::ColorProfile_nclx nclx;
  nclx.set_color_primaries(heif_color_primaries(primaries));
  nclx.set_transfer_characteristics(heif_transfer_characteristics(transfer));
  if (primaries) image.set_nclx_color_profile(nclx);
  heif::Context context;
  heif::Encoder encoder(av1 ? heif_compression_AV1 : heif_compression_HEVC);
  encoder.set_lossy_quality(92);
  heif::Context::EncodingOptions encoding;
  encoding.image_orientation = heif_orientation(options.orientation);
  encoding.macOS_compatibility_workaround_no_nclx_profile = 0;  // write the nclx colours
  const heif::ImageHandle handle = context.encode_image(image, encoder, encoding);
  if (!options.exif.empty())
    context.add_exif_metadata(handle, options.exif.data(), int(options.exif.size()));
  if (!options.xmp.empty())
    context.add_XMP_metadata(handle, options.xmp.data(), int(options.xmp.size()));
  context.write_to_file(path);
  return true;
} catch (const heif::Error&) {
  return false;
}

}  // namespace

bool writeHeicWithColourCode(const std::string& path, const cv::Mat& image, int primaries,
                             int transfer, int bits) {
  return encodeHeif(path, image, {}, false, bits, primaries, transfer);
}

// ---- JPEG XL ----

namespace {

bool encodeJxl(JxlEncoder* enc, const std::string& path) {
  JxlEncoderCloseInput(enc);
  Bytes out(1 << 24);
  uint8_t* next = out.data();
  std::size_t avail = out.size();
  if (JxlEncoderProcessOutput(enc, &next, &avail) != JXL_ENC_SUCCESS) return false;
  out.resize(std::size_t(next - out.data()));
  writeBytes(path, out);
  return true;
}

}  // namespace

bool writeJxl(const std::string& path, const cv::Mat& image, const FixtureOptions& options) {
  JxlEncoderPtr encoder = JxlEncoderMake(nullptr);
  JxlEncoder* enc = encoder.get();
  JxlEncoderUseContainer(enc, JXL_TRUE);
  JxlEncoderUseBoxes(enc);
  JxlBasicInfo info;
  JxlEncoderInitBasicInfo(&info);
  info.xsize = uint32_t(image.cols), info.ysize = uint32_t(image.rows);
  info.bits_per_sample = 8, info.num_color_channels = 3;
  info.orientation = JxlOrientation(options.orientation);
  info.uses_original_profile = options.lossless;
  JxlColorEncoding srgb;
  JxlColorEncodingSetToSRGB(&srgb, JXL_FALSE);
  if (JxlEncoderSetBasicInfo(enc, &info) != JXL_ENC_SUCCESS ||
      (options.icc.empty() ? JxlEncoderSetColorEncoding(enc, &srgb)
                           : JxlEncoderSetICCProfile(enc, options.icc.data(), options.icc.size())))
    return false;
  Bytes exif = {0, 0, 0, 0};  // the offset of the TIFF header, none
  exif.insert(exif.end(), options.exif.begin(), options.exif.end());
  if (!options.exif.empty()) JxlEncoderAddBox(enc, "Exif", exif.data(), exif.size(), JXL_FALSE);
  if (!options.xmp.empty())
    JxlEncoderAddBox(enc, "xml ", reinterpret_cast<const uint8_t*>(options.xmp.data()),
                     options.xmp.size(), JXL_TRUE);
  JxlEncoderCloseBoxes(enc);
  JxlEncoderFrameSettings* frame = JxlEncoderFrameSettingsCreate(enc, nullptr);
  options.lossless ? JxlEncoderSetFrameLossless(frame, JXL_TRUE)
                   : JxlEncoderSetFrameDistance(frame, 1.0f);
  cv::Mat rgb;
  cv::cvtColor(image, rgb, cv::COLOR_BGR2RGB);
  const JxlPixelFormat format = {3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
  return JxlEncoderAddImageFrame(frame, &format, rgb.data, rgb.total() * 3) == JXL_ENC_SUCCESS &&
         encodeJxl(enc, path);
}

namespace {

// A 6-byte signature, make, model and a second model name, then big-endian 16-bit fields: where the
// data starts, a spare, the width and the height; the data 10 bits a sample, four samples in five
// bytes (their high 8 bits, then their low 2 bits together).
bool writePhoneRaw(const std::string& path, const cv::Mat& image) {
  Bytes file = {0, 1, 0, 1, 0, '@'};
  const std::string names(
      "NOKIA\0\0\0"
      "X1\0\0\0\0\0\0"
      "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0",
      32);
  file.insert(file.end(), names.begin(), names.end());
  const int cols = image.cols / 4 * 4;
  for (const int field : {64, 0, cols, image.rows}) {
    file.push_back(uchar(field >> 8)), file.push_back(uchar(field));
  }
  file.resize(64);
  cv::Mat green;
  cv::extractChannel(image, green, 1);
  for (int y = 0; y < image.rows; ++y) {
    for (int x = 0; x < cols; x += 4) {
      for (int i = 0; i < 4; ++i) file.push_back(green.at<uchar>(y, x + i));
      file.push_back(0);
    }
  }
  writeBytes(path, file);
  return true;
}

}  // namespace

bool writePhoto(Kind kind, const std::string& path, const cv::Mat& image, FixtureOptions options) {
  options.lossless = kind == Kind::jxlLossless;
  if (kind == Kind::phoneRaw) return writePhoneRaw(path, image);
  if (kind == Kind::heic || kind == Kind::avif)
    return encodeHeif(path, image, options, kind == Kind::avif, 8);
  return kind == Kind::dng ? writeDng(path, image, options) : writeJxl(path, image, options);
}

// ---- DNG ----

namespace {

// A TIFF directory entry: its type (1 byte, 2 text, 3 short, 4 long, 5 and 10 rational) and its
// values, or its text.
struct Field {
  uint16_t type;
  std::vector<double> values;
  std::string text = "";
};

Bytes encode(const Field& field) {
  Bytes b(field.text.begin(), field.text.end());
  if (field.type == 2) b.push_back(0);
  const auto put = [&](uint64_t v, int size) {
    for (int i = 0; i < size; ++i) b.push_back(uint8_t(v >> (8 * i)));
  };
  for (double v : field.values) {
    if (field.type == 5 || field.type == 10)
      put(uint32_t(int32_t(std::lround(v * 1e6))), 4), put(1000000, 4);
    else
      put(uint64_t(v), field.type == 1 ? 1 : field.type * 2 - 4);
  }
  return b;
}

void append(Bytes& file, const Bytes& data) {
  if (file.size() % 2) file.push_back(0);
  file.insert(file.end(), data.begin(), data.end());
}

// Appends a directory (entries in tag order) and the values that do not fit in it; returns its
// offset.
uint32_t directory(Bytes& file, const std::map<uint16_t, Field>& fields, uint32_t next) {
  if (file.size() % 2) file.push_back(0);
  const uint32_t at = uint32_t(file.size());
  Bytes ifd = encode({3, {double(fields.size())}}), values;
  const uint32_t valuesAt = at + 6 + 12 * uint32_t(fields.size());
  for (const auto& [tag, field] : fields) {
    Bytes value = encode(field);
    const double count = field.type == 2 ? value.size() : field.values.size();
    if (value.size() > 4) {
      append(values, value);
      value = encode({4, {double(valuesAt + values.size() - value.size())}});
    }
    value.resize(4, 0);
    append(ifd, encode({3, {double(tag), double(field.type)}}));
    append(ifd, encode({4, {count}})), append(ifd, value);
  }
  append(ifd, encode({4, {double(next)}}));
  append(file, ifd), append(file, values);
  return at;
}

double linearFromSrgb(double v) {
  return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

}  // namespace

bool writeDng(const std::string& path, const cv::Mat& image, const FixtureOptions& options,
              bool unknownCompression) {
  // The sensor: an RGGB mosaic of the image's linear light, 12 bits in 16.
  std::vector<uint16_t> mosaic;
  for (int i = 0; i < image.rows; ++i) {
    for (int j = 0; j < image.cols; ++j) {
      const int channel = (i % 2 == 0 && j % 2 == 0) ? 2 : (i % 2 == 1 && j % 2 == 1) ? 0 : 1;
      const double v = linearFromSrgb(image.at<cv::Vec3b>(i, j)[channel] / 255.0);
      mosaic.push_back(uint16_t(std::lround(v * 4095)));
    }
  }
  Bytes file = {'I', 'I', 42, 0, 0, 0, 0, 0}, preview;
  cv::imencode(".jpg", image, preview);
  append(file, preview);
  const double exif = directory(file, {{0x9003, {2, {}, "2026:05:04 10:11:12"}}}, 0);
  const uint32_t thumbnail = directory(
      file,
      {{254, {4, {1}}}, {259, {3, {6}}}, {513, {4, {8}}}, {514, {4, {double(preview.size())}}}}, 0);
  // Camera space is linear sRGB: the colour matrix maps XYZ (D65) to it.
  const cv::Matx33d xyzToCamera = cv::Matx33d(0.412453, 0.357580, 0.180423, 0.212671, 0.715160,
                                              0.072169, 0.019334, 0.119193, 0.950227)
                                      .inv();
  // clang-format off
  std::map<uint16_t, Field> raw = {
      {254, {4, {0}}}, {256, {4, {double(image.cols)}}}, {257, {4, {double(image.rows)}}},
      {258, {3, {16}}}, {259, {3, {unknownCompression ? 65000. : 1.}}}, {262, {3, {32803}}},
      {271, {2, {}, "Lumivet"}}, {272, {2, {}, "Test Camera 7"}},
      {274, {3, {double(options.orientation)}}}, {277, {3, {1}}}, {278, {4, {double(image.rows)}}},
      {279, {4, {double(mosaic.size() * 2)}}}, {284, {3, {1}}},
      {306, {2, {}, "2026:05:04 10:11:12"}}, {33421, {3, {2, 2}}}, {33422, {1, {0, 1, 1, 2}}},
      {34665, {4, {exif}}}, {50706, {1, {1, 4, 0, 0}}}, {50708, {2, {}, "Lumivet Test Camera 7"}},
      {50717, {4, {4095}}}, {50721, {10, {xyzToCamera.val, xyzToCamera.val + 9}}},
      {50728, {5, {1, 1, 1}}}, {50778, {3, {21}}}};
  // clang-format on
  // The sensor data comes last, so that a file cut short loses it: it starts where the directory
  // ends.
  Bytes probe = file;
  raw[273] = {4, {0}};
  directory(probe, raw, thumbnail);
  raw[273] = {4, {double(probe.size() + probe.size() % 2)}};
  const uint32_t first = directory(file, raw, thumbnail);
  append(file, encode({3, {mosaic.begin(), mosaic.end()}}));
  std::memcpy(&file[4], &first, 4);
  writeBytes(path, file);
  return true;
}
