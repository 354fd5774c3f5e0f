// A photo's EXIF, IPTC and XMP metadata and its ICC colour profile: read when the photo is opened,
// kept in memory, written into the saved JPEG.
#pragma once

#include <cstdint>
#include <exiv2/exiv2.hpp>
#include <string>
#include <vector>

// exiv2 0.28 counts bytes in size_t where 0.27 used long.
#if EXIV2_TEST_VERSION(0, 28, 0)
using ExivSize = std::size_t;
#else
using ExivSize = long;
#endif

// An EXIF value as an integer (0.28 renamed toLong to toInt64).
inline std::int64_t exifInteger(const Exiv2::Metadatum& datum) {
#if EXIV2_TEST_VERSION(0, 28, 0)
  return datum.toInt64();
#else
  return datum.toLong();
#endif
}

struct PhotoMetadata {
  Exiv2::ExifData exif;
  Exiv2::IptcData iptc;
  Exiv2::XmpData xmp;
  std::vector<unsigned char> icc;  // the profile's bytes exactly as the input holds them
  bool empty() const { return exif.empty() && iptc.empty() && xmp.empty() && icc.empty(); }
};

// Reads the metadata of the photo file `file`, in memory. The orientation is reset to top-left,
// because loading turns the pixels upright, and embedded thumbnails are dropped, since they show
// the unfiltered photo. Metadata that cannot be read gives an empty result: the photo opens without
// it. The orientation the file gave (1 when none) goes to `orientation` if asked for.
PhotoMetadata readMetadata(const std::vector<unsigned char>& file, int* orientation = nullptr);

// Metadata that a container keeps in blocks of its own (HEIF items, JPEG XL boxes): `exifBlock` as
// such containers store it (a 4-byte big-endian offset, then the TIFF header and IFDs at that
// offset), `xmpPacket` an XMP packet, `icc` the profile of the decoded samples. Either may be
// empty; a damaged one is left out. Orientation and thumbnails are handled as by readMetadata.
PhotoMetadata metadataFromBlocks(const std::vector<unsigned char>& exifBlock,
                                 const std::string& xmpPacket, std::vector<unsigned char> icc);

// The metadata as blocks that can cross from the decoding helper to the tool: EXIF as a TIFF
// structure (header and directories), IPTC as its records, XMP as a packet, and the ICC profile.
struct MetadataBlocks {
  std::vector<unsigned char> exif, iptc;
  std::string xmp;
  std::vector<unsigned char> icc;
};
MetadataBlocks metadataBlocks(const PhotoMetadata& metadata);
// The metadata the blocks hold; a damaged block is left out.
PhotoMetadata metadataOf(const MetadataBlocks& blocks);

// The colour space an ICC profile's header names. kUnknown: no profile, or a header that is not an
// ICC profile's (its size field, or the "acsp" signature, is wrong).
enum class ProfileSpace { kUnknown, kRgb, kGrey, kCmyk, kOther };
ProfileSpace profileSpace(const std::vector<unsigned char>& icc);

// The ICC profile an opened image holds (empty when none), and one to store in it unchanged.
std::vector<unsigned char> iccProfileOf(Exiv2::Image& image);
void setIccProfileOf(Exiv2::Image& image, const std::vector<unsigned char>& icc);

// Writes `metadata` into the encoded JPEG `jpeg`. Returns false and leaves `jpeg` untouched when
// there is nothing to write or anything fails: metadata never stops a save.
bool writeMetadata(const PhotoMetadata& metadata, std::vector<unsigned char>& jpeg);
