// HEIF photos (HEIC from phones, AVIF) through libheif: the primary image turned upright by its
// irot/imir boxes, HDR brought down to 8 bits, its colour profile (an ICC profile as stored, or the
// nclx code made into one with LittleCMS) and its Exif and XMP blocks.
#include <lcms2.h>
#include <libheif/heif.h>

#include <cstring>
#include <memory>
#include <opencv2/imgproc.hpp>

#include "photo/colour.hpp"
#include "photo/decoders.hpp"

namespace {

// Blocks larger than this are not metadata a photo needs; they are left out.
constexpr std::size_t kMaxBlockBytes = 16 << 20;

// Whether none of the file's top-level boxes reaches past its end. libheif 1.19 aborts
// the process on a box that does (a file cut short by a broken download or copy) instead of
// reporting an error, so such a file never reaches it.
bool wholeBoxes(const std::vector<unsigned char>& bytes) {
  std::size_t at = 0;
  while (bytes.size() - at >= 8) {
    uint64_t size = 0;
    for (int i = 0; i < 4; ++i) size = size << 8 | bytes[at + i];
    std::size_t header = 8;
    if (size == 1) {  // a 64-bit size follows the type
      if (bytes.size() - at < 16) return false;
      size = 0;
      for (int i = 8; i < 16; ++i) size = size << 8 | bytes[at + i];
      header = 16;
    } else if (size == 0) {  // the last box, to the end of the file
      return true;
    }
    if (size < header || size > bytes.size() - at) return false;
    at += size;
  }
  return true;  // a few bytes after the last box are not a box libheif reads
}

struct HeifFile {
  heif_context* context = heif_context_alloc();
  heif_image_handle* primary = nullptr;
  heif_image* image = nullptr;
  ~HeifFile() {
    if (image) heif_image_release(image);
    if (primary) heif_image_handle_release(primary);
    heif_context_free(context);
  }
  // `bytes` must outlive the context: libheif reads them where they are.
  bool open(const Bytes& bytes) {
    return context && wholeBoxes(bytes) &&
           heif_context_read_from_memory_without_copy(context, bytes.data(), bytes.size(), nullptr)
                   .code == heif_error_Ok &&
           heif_context_get_primary_image_handle(context, &primary).code == heif_error_Ok;
  }
};

bool isHdrTransfer(int transfer) {
  return transfer == heif_transfer_characteristic_ITU_R_BT_2100_0_PQ ||
         transfer == heif_transfer_characteristic_ITU_R_BT_2100_0_HLG;
}

// The tone curve an nclx transfer code names. PQ and HLG have no place in an 8-bit photo that is
// not tone-mapped: their coded values are shown as they are, so they get the sRGB curve.
cmsToneCurve* toneCurveFor(int transfer) {
  static const double srgb[] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
  static const double rec709[] = {1 / 0.45, 1 / 1.099, 0.099 / 1.099, 1 / 4.5, 0.081};
  switch (transfer) {
    case heif_transfer_characteristic_ITU_R_BT_709_5:
    case heif_transfer_characteristic_ITU_R_BT_601_6:
    case heif_transfer_characteristic_ITU_R_BT_2020_2_10bit:
    case heif_transfer_characteristic_ITU_R_BT_2020_2_12bit:
      return cmsBuildParametricToneCurve(nullptr, 4, rec709);
    case heif_transfer_characteristic_ITU_R_BT_470_6_System_M:
      return cmsBuildGamma(nullptr, 2.2);
    case heif_transfer_characteristic_ITU_R_BT_470_6_System_B_G:
      return cmsBuildGamma(nullptr, 2.8);
    case heif_transfer_characteristic_linear:
      return cmsBuildGamma(nullptr, 1.0);
    default:
      return cmsBuildParametricToneCurve(nullptr, 4, srgb);
  }
}

// An ICC profile equivalent to an nclx colour description, or nothing for plain sRGB (the
// primaries of BT.709 with the sRGB curve, or unspecified), which needs no profile.
std::vector<unsigned char> profileFromNclx(const heif_color_profile_nclx& nclx) {
  const int primaries = nclx.color_primaries, transfer = nclx.transfer_characteristics;
  const bool srgbPrimaries = primaries == heif_color_primaries_ITU_R_BT_709_5 ||
                             primaries == heif_color_primaries_unspecified;
  const bool srgbCurve = transfer == heif_transfer_characteristic_IEC_61966_2_1 ||
                         transfer == heif_transfer_characteristic_unspecified ||
                         isHdrTransfer(transfer);
  if (srgbPrimaries && srgbCurve) return {};
  const cmsCIExyY white = {nclx.color_primary_white_x, nclx.color_primary_white_y, 1.0};
  const cmsCIExyYTRIPLE rgb = {{nclx.color_primary_red_x, nclx.color_primary_red_y, 1.0},
                               {nclx.color_primary_green_x, nclx.color_primary_green_y, 1.0},
                               {nclx.color_primary_blue_x, nclx.color_primary_blue_y, 1.0}};
  if (white.y <= 0 || rgb.Red.y <= 0 || rgb.Green.y <= 0 || rgb.Blue.y <= 0) return {};
  cmsToneCurve* curve = toneCurveFor(transfer);
  if (!curve) return {};
  cmsToneCurve* curves[3] = {curve, curve, curve};
  cmsHPROFILE profile = cmsCreateRGBProfile(&white, &rgb, curves);
  cmsFreeToneCurve(curve);
  std::vector<unsigned char> bytes = profileBytes(profile);
  if (profile) cmsCloseProfile(profile);
  return bytes;
}

// The profile of the decoded samples: the file's ICC profile byte for byte, else one made from its
// nclx code. Sets `hdr` when the nclx code names a PQ or HLG curve.
std::vector<unsigned char> colourProfile(const heif_image_handle* handle, bool& hdr) {
  std::vector<unsigned char> icc;
  const std::size_t iccSize = heif_image_handle_get_raw_color_profile_size(handle);
  if (iccSize > 0 && iccSize <= kMaxBlockBytes) {
    icc.resize(iccSize);
    if (heif_image_handle_get_raw_color_profile(handle, icc.data()).code != heif_error_Ok)
      icc.clear();
  }
  heif_color_profile_nclx* nclx = nullptr;
  if (heif_image_handle_get_nclx_color_profile(handle, &nclx).code == heif_error_Ok && nclx) {
    hdr = isHdrTransfer(nclx->transfer_characteristics);
    if (icc.empty()) icc = profileFromNclx(*nclx);
    heif_nclx_color_profile_free(nclx);
  }
  return icc;
}

std::vector<unsigned char> metadataBlock(const heif_image_handle* handle, heif_item_id id) {
  const std::size_t size = heif_image_handle_get_metadata_size(handle, id);
  if (size == 0 || size > kMaxBlockBytes) return {};
  std::vector<unsigned char> block(size);
  if (heif_image_handle_get_metadata(handle, id, block.data()).code != heif_error_Ok) return {};
  return block;
}

}  // namespace

bool isHeif(const Bytes& head) {
  // An ISO media file whose ftyp box names a HEIF image brand, as major or compatible brand.
  if (head.size() < 16 || std::memcmp(head.data() + 4, "ftyp", 4) != 0) return false;
  const std::size_t boxEnd = std::min<std::size_t>(
      head.size(), (std::size_t(head[0]) << 24) | (head[1] << 16) | (head[2] << 8) | head[3]);
  static const char* const kBrands[] = {"heic", "heix", "heim", "heis", "hevc", "hevx",
                                        "hevm", "hevs", "mif1", "msf1", "avif", "avis"};
  for (std::size_t at = 8; at + 4 <= boxEnd; at += at == 8 ? 8 : 4) {
    for (const char* brand : kBrands) {
      if (std::memcmp(head.data() + at, brand, 4) == 0) return true;
    }
  }
  return false;
}

bool heifSize(const Bytes& bytes, cv::Size& size) {
  HeifFile file;
  if (!file.open(bytes)) return false;
  size = {heif_image_handle_get_width(file.primary), heif_image_handle_get_height(file.primary)};
  return size.width > 0 && size.height > 0;
}

bool decodeHeif(const Bytes& bytes, DecodedPhoto& photo) {
  HeifFile file;
  if (!file.open(bytes)) return false;
  // The memory guard went by the header's size. A grid of tiles declares a size of its own, which
  // a damaged file can make far larger: libheif refuses to build an image beyond the header's
  // longer side (with room for the coded image's padding to whole coding blocks), and a result
  // of any other size than the header's is refused.
  const int width = heif_image_handle_get_width(file.primary);
  const int height = heif_image_handle_get_height(file.primary);
  if (width <= 0 || height <= 0) return false;
  heif_context_set_maximum_image_size_limit(file.context, std::max(width, height) + 256);
  std::unique_ptr<heif_decoding_options, void (*)(heif_decoding_options*)> options(
      heif_decoding_options_alloc(), heif_decoding_options_free);
  if (!options) return false;
  options->ignore_transformations = 0;  // irot and imir turn it upright, once
  options->convert_hdr_to_8bit = 1;
  if (heif_decode_image(file.primary, &file.image, heif_colorspace_RGB, heif_chroma_interleaved_RGB,
                        options.get())
          .code != heif_error_Ok)
    return false;
  const int cols = heif_image_get_width(file.image, heif_channel_interleaved);
  const int rows = heif_image_get_height(file.image, heif_channel_interleaved);
  int stride = 0;
  const uint8_t* samples =
      heif_image_get_plane_readonly(file.image, heif_channel_interleaved, &stride);
  const bool headerSize = (cols == width && rows == height) || (cols == height && rows == width);
  if (!samples || !headerSize || stride < 3 * cols ||
      heif_image_get_bits_per_pixel_range(file.image, heif_channel_interleaved) != 8)
    return false;
  const cv::Mat rgb(rows, cols, CV_8UC3, const_cast<uint8_t*>(samples), std::size_t(stride));
  cv::cvtColor(rgb, photo.image, cv::COLOR_RGB2BGR);

  bool hdr = false;
  std::vector<unsigned char> icc = colourProfile(file.primary, hdr);
  std::vector<unsigned char> exif;
  std::string xmp;
  const int count = heif_image_handle_get_number_of_metadata_blocks(file.primary, nullptr);
  std::vector<heif_item_id> ids(static_cast<std::size_t>(std::max(count, 0)));
  const int listed =
      heif_image_handle_get_list_of_metadata_block_IDs(file.primary, nullptr, ids.data(), count);
  for (int i = 0; i < listed; ++i) {
    const char* typeName = heif_image_handle_get_metadata_type(file.primary, ids[i]);
    const std::string type = typeName ? typeName : "";
    const char* content = heif_image_handle_get_metadata_content_type(file.primary, ids[i]);
    if (type == "Exif" && exif.empty()) {
      exif = metadataBlock(file.primary, ids[i]);
    } else if (type == "mime" && content && std::string(content) == "application/rdf+xml" &&
               xmp.empty()) {
      const std::vector<unsigned char> block = metadataBlock(file.primary, ids[i]);
      xmp.assign(block.begin(), block.end());
    }
  }
  photo.metadata = metadataFromBlocks(exif, xmp, std::move(icc));
  if (hdr) photo.note = "HDR photo shown without tone mapping: its tones are approximate";
  return true;
}
