// The CMYK samples of a JPEG (through libjpeg) or a TIFF (through libtiff), read from memory, for a
// conversion through the photo's own profile: the image library would convert them by a rule of
// its own, which a press profile does not follow.
// clang-format off
#include <cstdio>  // jpeglib.h needs FILE and size_t declared before it
#include <jpeglib.h>
// clang-format on
#include <tiffio.h>

#include <csetjmp>
#include <cstring>

#include "photo/decoders.hpp"

namespace {

struct JpegErrors {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

[[noreturn]] void leaveJpeg(j_common_ptr info) {
  std::longjmp(reinterpret_cast<JpegErrors*>(info->err)->jump, 1);
}

void ignoreJpegMessage(j_common_ptr) {}

// libtiff reads the file from memory through these.
struct MemoryFile {
  const std::vector<unsigned char>& bytes;
  toff_t at = 0;
};

tsize_t readMemory(thandle_t handle, tdata_t data, tsize_t size) {
  auto* file = static_cast<MemoryFile*>(handle);
  if (size < 0 || file->at >= file->bytes.size()) return 0;
  const std::size_t n = std::min<std::size_t>(std::size_t(size), file->bytes.size() - file->at);
  std::memcpy(data, file->bytes.data() + file->at, n);
  file->at += n;
  return tsize_t(n);
}

tsize_t refuseWrite(thandle_t, tdata_t, tsize_t) {
  return 0;
}

toff_t seekMemory(thandle_t handle, toff_t offset, int whence) {
  auto* file = static_cast<MemoryFile*>(handle);
  const toff_t base = whence == SEEK_CUR ? file->at : whence == SEEK_END ? file->bytes.size() : 0;
  file->at = base + offset;
  return file->at;
}

int closeMemory(thandle_t) {
  return 0;
}

toff_t memorySize(thandle_t handle) {
  return static_cast<MemoryFile*>(handle)->bytes.size();
}

}  // namespace

bool readCmykJpeg(const std::vector<unsigned char>& bytes, cv::Mat& cmyk, bool& inverted) {
  jpeg_decompress_struct info;
  JpegErrors errors;
  info.err = jpeg_std_error(&errors.manager);
  errors.manager.error_exit = leaveJpeg;
  errors.manager.output_message = ignoreJpegMessage;
  jpeg_create_decompress(&info);
  if (setjmp(errors.jump)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_mem_src(&info, bytes.data(), static_cast<unsigned long>(bytes.size()));
  if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK ||
      (info.jpeg_color_space != JCS_CMYK && info.jpeg_color_space != JCS_YCCK)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  info.out_color_space = JCS_CMYK;  // YCCK comes back as CMYK too
  jpeg_start_decompress(&info);
  cmyk.create(int(info.output_height), int(info.output_width), CV_8UC4);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = cmyk.ptr(int(info.output_scanline));
    jpeg_read_scanlines(&info, &row, 1);
  }
  // Adobe's applications write CMYK JPEGs with 0 for full ink, and mark them with their APP14
  // segment.
  inverted = info.saw_Adobe_marker;
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

bool readCmykTiff(const std::vector<unsigned char>& bytes, cv::Mat& cmyk) {
  MemoryFile file{bytes};
  TIFF* tiff = TIFFClientOpen("photo", "rm", &file, readMemory, refuseWrite, seekMemory,
                              closeMemory, memorySize, nullptr, nullptr);
  if (!tiff) return false;
  uint32_t width = 0, height = 0;
  uint16_t photometric = 0, inks = INKSET_CMYK, samples = 0, bits = 0, planar = PLANARCONFIG_CONTIG;
  TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
  TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_INKSET, &inks);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
  // Four inks in one plane, 8 or 16 bits, in strips (an extra channel, such as alpha, is dropped).
  bool read = photometric == PHOTOMETRIC_SEPARATED && inks == INKSET_CMYK && samples >= 4 &&
              samples <= 8 && (bits == 8 || bits == 16) && planar == PLANARCONFIG_CONTIG &&
              !TIFFIsTiled(tiff) && width > 0 && height > 0 && width <= INT32_MAX / samples &&
              height <= INT32_MAX &&
              std::size_t(TIFFScanlineSize(tiff)) == std::size_t(width) * samples * bits / 8;
  if (read) {
    const int depth = bits == 8 ? CV_8U : CV_16U;
    cv::Mat row(1, int(width), CV_MAKETYPE(depth, samples));
    cmyk.create(int(height), int(width), CV_MAKETYPE(depth, 4));
    const int inksOnly[] = {0, 0, 1, 1, 2, 2, 3, 3};
    for (uint32_t y = 0; read && y < height; ++y) {
      read = TIFFReadScanline(tiff, row.data, y) == 1;
      cv::Mat out = cmyk.row(int(y));
      if (read) cv::mixChannels(&row, 1, &out, 1, inksOnly, 4);
    }
  }
  TIFFClose(tiff);
  return read;
}
