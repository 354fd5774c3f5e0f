// Metadata reading and writing through exiv2.
#include "photo/metadata.hpp"

#include <memory>

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

// exiv2 bounds its own work on damaged blocks: it checks every offset and count against the size
// of the file and refuses an IFD chain that comes back to an IFD it has read, so a truncated block
// or an IFD loop throws instead of running away.
PhotoMetadata readMetadata(const std::string& path) {
  PhotoMetadata metadata;
  try {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    Exiv2::enableBMFF();  // Canon's CR3 raw files are ISO media files
    auto source = owned(Exiv2::ImageFactory::open(path));
    source->readMetadata();
    metadata.exif = source->exifData();
    metadata.iptc = source->iptcData();
    metadata.xmp = source->xmpData();
    if (source->iccProfileDefined()) {
      const Exiv2::DataBuf* icc = source->iccProfile();
      metadata.icc.assign(icc->pData_, icc->pData_ + icc->size_);
    }
    Exiv2::ExifThumb(metadata.exif).erase();
    resetOrientation(metadata.exif, metadata.xmp);
  } catch (const std::exception&) {
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
        const long size = static_cast<long>(exifBlock.size() - 4 - offset);
        Exiv2::ExifParser::decode(metadata.exif, tiff, size);
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

bool writeMetadata(const PhotoMetadata& metadata, std::vector<unsigned char>& jpeg) {
  if (metadata.empty()) return false;
  try {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    auto target = owned(Exiv2::ImageFactory::open(jpeg.data(), static_cast<long>(jpeg.size())));
    target->readMetadata();
    target->setExifData(metadata.exif);
    target->setIptcData(metadata.iptc);
    target->setXmpData(metadata.xmp);
    if (!metadata.icc.empty()) {
      Exiv2::DataBuf icc(metadata.icc.data(), static_cast<long>(metadata.icc.size()));
      target->setIccProfile(icc, false);  // stored unchanged, whatever it claims to be
    }
    target->writeMetadata();

    Exiv2::BasicIo& io = target->io();
    if (io.open() != 0) return false;
    std::vector<unsigned char> result(io.size());
    io.seek(0, Exiv2::BasicIo::beg);
    const long read = io.read(result.data(), static_cast<long>(result.size()));
    io.close();
    if (read != static_cast<long>(result.size()) || result.empty()) return false;
    jpeg.swap(result);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}
