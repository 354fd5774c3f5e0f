// Metadata transfer through exiv2.
#include "app/metadata.hpp"

#include <exiv2/exiv2.hpp>
#include <memory>

namespace {

// exiv2 hands out images through std::auto_ptr; this takes ownership in a modern pointer.
template <typename AutoPointer>
auto owned(AutoPointer pointer) {
  return std::unique_ptr<typename AutoPointer::element_type>(pointer.release());
}

void resetOrientation(Exiv2::ExifData& exif, Exiv2::XmpData& xmp) {
  auto orientation = exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
  if (orientation != exif.end()) exif["Exif.Image.Orientation"] = uint16_t(1);
  auto xmpOrientation = xmp.findKey(Exiv2::XmpKey("Xmp.tiff.Orientation"));
  if (xmpOrientation != xmp.end()) xmp["Xmp.tiff.Orientation"] = "1";
}

}  // namespace

bool copyMetadata(const std::string& sourcePath, std::vector<unsigned char>& jpeg) {
  try {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    auto source = owned(Exiv2::ImageFactory::open(sourcePath));
    source->readMetadata();
    Exiv2::ExifData exif = source->exifData();
    Exiv2::IptcData iptc = source->iptcData();
    Exiv2::XmpData xmp = source->xmpData();
    if (exif.empty() && iptc.empty() && xmp.empty()) return false;

    Exiv2::ExifThumb(exif).erase();
    resetOrientation(exif, xmp);

    auto target = owned(Exiv2::ImageFactory::open(jpeg.data(), static_cast<long>(jpeg.size())));
    target->readMetadata();
    target->setExifData(exif);
    target->setIptcData(iptc);
    target->setXmpData(xmp);
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
    // Unreadable or odd metadata: the image is saved without it.
    return false;
  }
}
