// Camera raw photos (DNG and the makers' raw formats) through LibRaw: developed with the camera's
// white balance into sRGB with its tone curve, 8 bits, turned upright by the file's orientation.
// A file LibRaw cannot develop (a camera newer than the library) opens from its largest embedded
// preview, with a note. Metadata through exiv2.
#include <libraw/libraw.h>

#include <cstring>
#include <exiv2/exiv2.hpp>
#include <memory>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <set>

#include "photo/decoders.hpp"

namespace {

// Walks the directories of a TIFF-structured file, bounded in count and size whatever the file
// claims, to tell a camera raw from a plain TIFF.
class TiffScan {
 public:
  TiffScan(const Bytes& file, bool littleEndian) : file_(file), little_(littleEndian) {}

  // A raw file names a DNG version, or keeps its sensor data in a directory with CFA or
  // linear-raw photometry (IFD0, the IFDs chained to it, or their SubIFDs).
  bool holdsRaw(uint32_t firstIfd) {
    std::vector<uint32_t> pending = {firstIfd};
    std::set<uint32_t> seen;
    while (!pending.empty() && seen.size() < 32) {
      const uint32_t ifd = pending.back();
      pending.pop_back();
      if (ifd < 8 || !seen.insert(ifd).second) continue;
      uint16_t count = 0;
      if (!read16(ifd, count) || count > 1000) continue;
      for (uint32_t i = 0; i < count; ++i) {
        const uint32_t entry = ifd + 2 + 12 * i;
        uint16_t tag = 0, type = 0, value16 = 0;
        uint32_t values = 0, value32 = 0;
        if (!read16(entry, tag) || !read16(entry + 2, type) || !read32(entry + 4, values)) break;
        if (tag == 0xC612) return true;  // DNGVersion
        if (tag == 0x0106 && read16(entry + 8, value16) && (value16 == 32803 || value16 == 34892))
          return true;                      // PhotometricInterpretation: CFA or LinearRaw
        if (tag == 0x014A && values > 0) {  // SubIFDs: inline when there is one, else a list
          if (values == 1) {
            if (read32(entry + 8, value32)) pending.push_back(value32);
          } else if (read32(entry + 8, value32)) {
            for (uint32_t k = 0; k < std::min<uint32_t>(values, 8); ++k) {
              uint32_t sub = 0;
              if (read32(value32 + 4 * k, sub)) pending.push_back(sub);
            }
          }
        }
      }
      uint32_t next = 0;
      if (read32(ifd + 2 + 12 * uint32_t(count), next)) pending.push_back(next);
    }
    return false;
  }

 private:
  bool read(uint32_t at, unsigned char* bytes, int n) {
    if (at > file_.size() || file_.size() - at < std::size_t(n)) return false;
    std::memcpy(bytes, file_.data() + at, std::size_t(n));
    return true;
  }
  bool read16(uint32_t at, uint16_t& value) {
    unsigned char b[2];
    if (!read(at, b, 2)) return false;
    value = little_ ? uint16_t(b[0] | b[1] << 8) : uint16_t(b[0] << 8 | b[1]);
    return true;
  }
  bool read32(uint32_t at, uint32_t& value) {
    unsigned char b[4];
    if (!read(at, b, 4)) return false;
    value =
        little_
            ? uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24
            : uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | uint32_t(b[3]);
    return true;
  }

  const Bytes& file_;
  bool little_;
};

bool startsWith(const Bytes& head, std::size_t at, const char* text) {
  const std::size_t n = std::strlen(text);
  return head.size() >= at + n && std::memcmp(head.data() + at, text, n) == 0;
}

// LibRaw reports damaged data through this callback; the default one prints it.
void countDataError(void* errors, const char*, const int) {
  ++*static_cast<int*>(errors);
}

// A LibRaw session set up to develop as the tool does: camera white balance, sRGB primaries and
// curve, 8 bits, no automatic brightening (the exposure stays the camera's).
struct RawFile {
  std::unique_ptr<LibRaw> raw = std::make_unique<LibRaw>();
  int dataErrors = 0;
  // `bytes` must outlive the session: LibRaw reads them where they are. LibRaw 0.20 takes the
  // buffer as non-const, 0.21 as const.
  explicit RawFile(const Bytes& bytes) {
    raw->set_dataerror_handler(countDataError, &dataErrors);
    libraw_output_params_t& p = raw->imgdata.params;
    p.use_camera_wb = 1;
    p.output_color = 1;  // sRGB
    p.output_bps = 8;
    p.gamm[0] = 1 / 2.4;
    p.gamm[1] = 12.92;
    p.no_auto_bright = 1;
    opened = raw->open_buffer(const_cast<unsigned char*>(bytes.data()), bytes.size()) ==
                 LIBRAW_SUCCESS &&
             raw->imgdata.sizes.width > 0 && raw->imgdata.sizes.height > 0;
  }
  bool opened = false;
};

// The embedded preview with the most pixels, through exiv2; `orientation` is the raw file's.
bool largestPreview(const Bytes& file, Bytes* bytes, cv::Size& size, int& orientation) {
  try {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
#if !EXIV2_TEST_VERSION(0, 28, 0)
    Exiv2::enableBMFF();  // always on from 0.28
#endif
    auto image = Exiv2::ImageFactory::open(file.data(), ExivSize(file.size()));
    image->readMetadata();
    const Exiv2::PreviewManager previews(*image);
    const Exiv2::PreviewPropertiesList list = previews.getPreviewProperties();
    const Exiv2::PreviewProperties* best = nullptr;
    for (const auto& properties : list) {
      if (!best ||
          uint64_t(properties.width_) * properties.height_ > uint64_t(best->width_) * best->height_)
        best = &properties;
    }
    if (!best || best->width_ == 0 || best->height_ == 0) return false;
    size = cv::Size(int(best->width_), int(best->height_));
    const auto tag = image->exifData().findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
    orientation = tag != image->exifData().end() ? int(exifInteger(*tag)) : 1;
    if (orientation >= 5 && orientation <= 8) std::swap(size.width, size.height);
    if (bytes) {
      const Exiv2::PreviewImage preview = previews.getPreviewImage(*best);
      bytes->assign(preview.pData(), preview.pData() + preview.size());
    }
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

bool isRaw(const Bytes& head) {
  if (startsWith(head, 0, "FUJIFILMCCD-RAW") || startsWith(head, 0, "IIRO") ||
      startsWith(head, 0, "IIRS") || startsWith(head, 0, "MMOR") ||
      startsWith(head, 0, std::string("IIU\0", 4).c_str()) || startsWith(head, 4, "ftypcrx "))
    return true;
  const bool little = startsWith(head, 0, "II*");
  const bool big = head.size() >= 4 && std::memcmp(head.data(), "MM\0*", 4) == 0;
  if (!(little || big) || head.size() < 8) return false;
  if (head[0] == 'I' && head[3] == 0 && startsWith(head, 8, "CR")) return true;  // Canon CR2
  const uint32_t first = little ? uint32_t(head[4]) | uint32_t(head[5]) << 8 |
                                      uint32_t(head[6]) << 16 | uint32_t(head[7]) << 24
                                : uint32_t(head[4]) << 24 | uint32_t(head[5]) << 16 |
                                      uint32_t(head[6]) << 8 | uint32_t(head[7]);
  return TiffScan(head, little).holdsRaw(first);
}

bool rawContentSize(const Bytes& file, cv::Size& size) {
  const auto identify = [](const Bytes& bytes, std::string& camera) {
    RawFile raw(bytes);
    const libraw_image_sizes_t& s = raw.raw->imgdata.sizes;
    camera = std::string(raw.raw->imgdata.idata.make) + "/" + raw.raw->imgdata.idata.model + "/" +
             std::to_string(s.raw_width) + "x" + std::to_string(s.raw_height);
    return raw.opened;
  };
  std::string camera, withoutHeader;
  if (!identify(file, camera)) return false;
  // LibRaw also names a camera by the file's size alone, for formats that have no header. The
  // same file with its first bytes blanked out names the same camera only then.
  Bytes blanked(file);
  std::fill(blanked.begin(), blanked.begin() + long(std::min<std::size_t>(blanked.size(), 4096)),
            0);
  if (identify(blanked, withoutHeader) && withoutHeader == camera) return false;
  return rawSize(file, size);
}

bool rawSize(const Bytes& bytes, cv::Size& size) {
  RawFile file(bytes);
  if (file.opened) {
    const libraw_image_sizes_t& s = file.raw->imgdata.sizes;
    size = (s.flip & 4) ? cv::Size(s.height, s.width) : cv::Size(s.width, s.height);
    return true;
  }
  int orientation = 1;
  return largestPreview(bytes, nullptr, size, orientation);
}

bool decodeRaw(const Bytes& bytes, DecodedPhoto& photo) {
  RawFile file(bytes);
  if (file.opened) {
    // A camera LibRaw knows: its data develops, or the file is damaged (cut short, say).
    const int unpacked = file.raw->unpack();
    const bool unknownData =
        unpacked == LIBRAW_FILE_UNSUPPORTED || unpacked == LIBRAW_NOT_IMPLEMENTED;
    if (!unknownData) {
      if (unpacked != LIBRAW_SUCCESS || file.dataErrors != 0 ||
          file.raw->dcraw_process() != LIBRAW_SUCCESS || file.dataErrors != 0)
        return false;
      int error = 0;
      libraw_processed_image_t* out = file.raw->dcraw_make_mem_image(&error);
      if (out && out->type == LIBRAW_IMAGE_BITMAP && out->colors == 3 && out->bits == 8 &&
          out->data_size >= std::size_t(out->width) * out->height * 3) {
        // The developed image is already turned upright by the orientation LibRaw read.
        const cv::Mat rgb(out->height, out->width, CV_8UC3, out->data);
        cv::cvtColor(rgb, photo.image, cv::COLOR_RGB2BGR);
      }
      LibRaw::dcraw_clear_mem(out);
      if (photo.image.empty()) return false;
    }
  }
  if (photo.image.empty()) {
    // A camera or raw encoding newer than LibRaw: the camera's own rendering is still there.
    Bytes jpeg;
    cv::Size size;
    int orientation = 1;
    if (!largestPreview(bytes, &jpeg, size, orientation) || jpeg.empty()) return false;
    const cv::Mat preview = cv::imdecode(jpeg, cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
    if (preview.empty()) return false;
    // Cameras store the preview as the sensor sees it; the raw file's orientation applies.
    photo.image = orientUpright(preview, orientation);
    // The memory guard went by the size the file's tags give; a preview of another size is not
    // the one they describe.
    if (photo.image.size() != size) return false;
    photo.note = "This raw file could not be developed: its embedded preview is shown and saved";
  }
  photo.metadata = readMetadata(bytes);
  // The samples were developed into sRGB: a profile the file carries does not describe them.
  photo.metadata.icc.clear();
  return true;
}
