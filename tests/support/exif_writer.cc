#include "support/exif_writer.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>

namespace pictavo::testing {

std::vector<uint8_t> WithExifDates(const std::vector<uint8_t>& picture, const ExifDates& dates) {
  try {
    Exiv2::Image::AutoPtr image =
        Exiv2::ImageFactory::open(picture.data(), static_cast<long>(picture.size()));
    image->readMetadata();
    Exiv2::ExifData& exif = image->exifData();
    exif["Exif.Image.Make"] = "Pictavo test camera";
    if (!dates.original.empty()) exif["Exif.Photo.DateTimeOriginal"] = dates.original;
    if (!dates.digitized.empty()) exif["Exif.Photo.DateTimeDigitized"] = dates.digitized;
    if (!dates.modified.empty()) exif["Exif.Image.DateTime"] = dates.modified;
    image->writeMetadata();
    Exiv2::BasicIo& io = image->io();
    io.seek(0, Exiv2::BasicIo::beg);
    const Exiv2::DataBuf data = io.read(static_cast<long>(io.size()));
    return std::vector<uint8_t>(data.pData_, data.pData_ + data.size_);
  } catch (const std::exception&) {
    return {};
  }
}

}  // namespace pictavo::testing
#pragma GCC diagnostic pop
