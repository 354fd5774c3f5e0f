// Metadata reading and writing through exiv2.
#include "photo/metadata.hpp"

#include <cstring>
#include <memory>
#include <utility>

namespace {

// exiv2 hands out images through std::auto_ptr; this takes ownership in a modern pointer.
template <typename AutoPointer>
auto owned(AutoPointer pointer) {
  return std::unique_ptr<typename AutoPointer::element_type>(pointer.release());
}

void resetOrientation(Exiv2::ExifData& exif, Exiv2::XmpData& xmp) {
  if (exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation")) != exif.end())
    exif["Exif.Image.Orientation"] = uint16_t(1);
  if (xmp.findKey(Exiv2::XmpKey("Xmp.tiff.Orientation")) != xmp.end())
    xmp["Xmp.tiff.Orientation"] = "1";
}

}  // namespace

std::vector<unsigned char> iccProfileOf(Exiv2::Image& image) {
  if (!image.iccProfileDefined()) return {};
#if EXIV2_TEST_VERSION(0, 28, 0)
  const Exiv2::DataBuf& icc = image.iccProfile();
  return {icc.c_data(), icc.c_data() + icc.size()};
#else
  const Exiv2::DataBuf* icc = image.iccProfile();
  return {icc->pData_, icc->pData_ + icc->size_};
#endif
}

void setIccProfileOf(Exiv2::Image& image, const std::vector<unsigned char>& icc) {
  // Stored unchanged, whatever the profile claims to be.
  Exiv2::DataBuf buffer(icc.data(), static_cast<ExivSize>(icc.size()));
#if EXIV2_TEST_VERSION(0, 28, 0)
  image.setIccProfile(std::move(buffer), false);
#else
  image.setIccProfile(buffer, false);
#endif
}

// exiv2 bounds its own work on damaged blocks: it checks every offset and count against the size
// of the file and refuses an IFD chain that comes back to an IFD it has read, so a truncated block
// or an IFD loop throws instead of running away.
PhotoMetadata readMetadata(const std::vector<unsigned char>& file, int* orientation) {
  PhotoMetadata metadata;
  if (orientation) *orientation = 1;
  try {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
#if !EXIV2_TEST_VERSION(0, 28, 0)
    Exiv2::enableBMFF();  // Canon's CR3 raw files are ISO media files (always read from 0.28 on)
#endif
    auto source = owned(Exiv2::ImageFactory::open(file.data(), ExivSize(file.size())));
    source->readMetadata();
    metadata.exif = source->exifData();
    metadata.iptc = source->iptcData();
    metadata.xmp = source->xmpData();
    metadata.icc = iccProfileOf(*source);
    Exiv2::ExifThumb(metadata.exif).erase();
    const auto given = metadata.exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
    if (orientation && given != metadata.exif.end()) *orientation = int(exifInteger(*given));
    resetOrientation(metadata.exif, metadata.xmp);
  } catch (const std::exception&) {
    if (orientation) *orientation = 1;
    return PhotoMetadata();
  }
  return metadata;
}

PhotoMetadata metadataFromBlocks(const std::vector<unsigned char>& exifBlock,
                                 const std::string& xmpPacket, std::vector<unsigned char> icc) {
  PhotoMetadata metadata;
  Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
  if (exifBlock.size() > 4) {
    const std::size_t offset = (std::size_t(exifBlock[0]) << 24) |
                               (std::size_t(exifBlock[1]) << 16) |
                               (std::size_t(exifBlock[2]) << 8) | std::size_t(exifBlock[3]);
    if (offset < exifBlock.size() - 4) {
      try {
        const unsigned char* tiff = exifBlock.data() + 4 + offset;
        const std::size_t size = exifBlock.size() - 4 - offset;
        Exiv2::ExifParser::decode(metadata.exif, tiff, static_cast<ExivSize>(size));
        Exiv2::ExifThumb(metadata.exif).erase();
      } catch (const std::exception&) {
        metadata.exif.clear();
      }
    }
  }
  if (!xmpPacket.empty()) {
    try {
      if (Exiv2::XmpParser::decode(metadata.xmp, xmpPacket) != 0) metadata.xmp.clear();
    } catch (const std::exception&) {
      metadata.xmp.clear();
    }
  }
  resetOrientation(metadata.exif, metadata.xmp);
  metadata.icc = std::move(icc);
  return metadata;
}

ProfileSpace profileSpace(const std::vector<unsigned char>& icc) {
  const auto big32 = [&](std::size_t at) {
    return uint32_t(icc[at]) << 24 | uint32_t(icc[at + 1]) << 16 | uint32_t(icc[at + 2]) << 8 |
           uint32_t(icc[at + 3]);
  };
  if (icc.size() < 128 || big32(0) != icc.size() || std::memcmp(icc.data() + 36, "acsp", 4) != 0)
    return ProfileSpace::kUnknown;
  const char* space = reinterpret_cast<const char*>(icc.data() + 16);
  if (std::memcmp(space, "RGB ", 4) == 0) return ProfileSpace::kRgb;
  if (std::memcmp(space, "GRAY", 4) == 0) return ProfileSpace::kGrey;
  if (std::memcmp(space, "CMYK", 4) == 0) return ProfileSpace::kCmyk;
  return ProfileSpace::kOther;
}

MetadataBlocks metadataBlocks(const PhotoMetadata& metadata) {
  MetadataBlocks blocks;
  try {
    if (!metadata.exif.empty()) {
      Exiv2::Blob tiff;
      Exiv2::ExifData exif = metadata.exif;  // exiv2 0.28 encodes from a non-const one
      Exiv2::ExifParser::encode(tiff, Exiv2::littleEndian, exif);
      blocks.exif.assign(tiff.begin(), tiff.end());
    }
    if (!metadata.iptc.empty()) {
      const Exiv2::DataBuf iptc = Exiv2::IptcParser::encode(metadata.iptc);
#if EXIV2_TEST_VERSION(0, 28, 0)
      blocks.iptc.assign(iptc.c_data(), iptc.c_data() + iptc.size());
#else
      blocks.iptc.assign(iptc.pData_, iptc.pData_ + iptc.size_);
#endif
    }
    if (!metadata.xmp.empty() && Exiv2::XmpParser::encode(blocks.xmp, metadata.xmp) != 0)
      blocks.xmp.clear();
  } catch (const std::exception&) {
    return MetadataBlocks{{}, {}, {}, metadata.icc};
  }
  blocks.icc = metadata.icc;
  return blocks;
}

PhotoMetadata metadataOf(const MetadataBlocks& blocks) {
  // An EXIF block as HEIF stores it: a 4-byte offset to the TIFF header, here 0.
  std::vector<unsigned char> exif;
  if (!blocks.exif.empty()) {
    exif = {0, 0, 0, 0};
    exif.insert(exif.end(), blocks.exif.begin(), blocks.exif.end());
  }
  PhotoMetadata metadata = metadataFromBlocks(exif, blocks.xmp, blocks.icc);
  if (!blocks.iptc.empty()) {
    try {
      if (Exiv2::IptcParser::decode(metadata.iptc, blocks.iptc.data(),
                                    static_cast<uint32_t>(blocks.iptc.size())) != 0)
        metadata.iptc.clear();
    } catch (const std::exception&) {
      metadata.iptc.clear();
    }
  }
  return metadata;
}

bool writeMetadata(const PhotoMetadata& metadata, std::vector<unsigned char>& jpeg) {
  if (metadata.empty()) return false;
  try {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    auto target = owned(Exiv2::ImageFactory::open(jpeg.data(), static_cast<ExivSize>(jpeg.size())));
    target->readMetadata();
    target->setExifData(metadata.exif);
    target->setIptcData(metadata.iptc);
    target->setXmpData(metadata.xmp);
    if (!metadata.icc.empty()) {
      setIccProfileOf(*target, metadata.icc);
    }
    target->writeMetadata();

    Exiv2::BasicIo& io = target->io();
    if (io.open() != 0) return false;
    std::vector<unsigned char> result(io.size());
    io.seek(0, Exiv2::BasicIo::beg);
    const ExivSize read = io.read(result.data(), static_cast<ExivSize>(result.size()));
    io.close();
    if (read != static_cast<ExivSize>(result.size()) || result.empty()) return false;
    jpeg.swap(result);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}
