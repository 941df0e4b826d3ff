#pragma once

// Turning decoded pictures upright. JPEG files and camera raws store their pixels as the sensor
// saw them and say in an EXIF (TIFF) Orientation tag how to show them; HEIF files carry their own
// transforms, which libheif applies itself. Each picture is turned exactly once: the embedded
// previews of raws are turned by their container's orientation, never by a tag inside them.

#include <cstdint>
#include <optional>
#include <span>

#include "imaging/picture.h"

namespace pictavo {

// EXIF orientation values: 1 as stored, 2 mirrored left to right, 3 turned 180 degrees, 4 mirrored
// top to bottom, 5 mirrored along the main diagonal, 6 turned 90 degrees clockwise, 7 mirrored
// along the other diagonal, 8 turned 90 degrees anticlockwise.
constexpr int kOrientationNormal = 1;

// True for the orientations that swap width and height.
constexpr bool OrientationSwapsSides(int orientation) {
  return orientation >= 5 && orientation <= 8;
}

// Applies an orientation to the picture in place; values outside 2..8 leave it unchanged. False
// (picture unchanged) when the turned copy cannot be allocated.
bool ApplyOrientation(Picture& picture, int orientation);

// The Orientation tag of IFD0 of a TIFF stream starting at tiff[0]; 1 when missing or invalid.
int TiffOrientation(std::span<const uint8_t> tiff);

// The Orientation tag of a JPEG's EXIF segment (APP1 "Exif"); 1 when there is none.
int JpegExifOrientation(std::span<const uint8_t> jpeg);

// The EXIF orientation that LibRaw's `flip` value stands for.
int OrientationFromRawFlip(int flip);

// The width and height a JPEG's frame header declares, without decoding it.
struct JpegFrameSize {
  int width = 0;
  int height = 0;
};
std::optional<JpegFrameSize> JpegSize(std::span<const uint8_t> jpeg);

}  // namespace pictavo
