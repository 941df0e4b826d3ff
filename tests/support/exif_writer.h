#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pictavo::testing {

// Exif dates to write into a picture; an empty text leaves the tag out.
struct ExifDates {
  std::string original;   // Exif.Photo.DateTimeOriginal
  std::string digitized;  // Exif.Photo.DateTimeDigitized
  std::string modified;   // Exif.Image.DateTime
};

// The picture with those tags written into its metadata by libexiv2 (JPEG, TIFF and the raws it
// writes). Empty when the library refuses the picture.
std::vector<uint8_t> WithExifDates(const std::vector<uint8_t>& picture, const ExifDates& dates);

}  // namespace pictavo::testing
