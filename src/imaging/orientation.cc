#include "imaging/orientation.h"

#include "formats/byte_reader.h"

namespace pictavo {
namespace {

constexpr uint16_t kOrientationTag = 0x0112;
constexpr uint16_t kShortType = 3;
// Far more segments or directory entries than any real file has before its image data.
constexpr int kMaxSegments = 1000;
constexpr uint32_t kMaxEntries = 1000;

// Calls `segment(marker, payload_offset, payload_length)` for each marker segment of a JPEG up
// to its first scan; stops early when `segment` returns false.
template <typename Visit>
void WalkJpegSegments(std::span<const uint8_t> jpeg, Visit segment) {
  const ByteReader in(jpeg, Endian::kBig);
  if (!in.Matches(0, "\xFF\xD8")) return;
  size_t pos = 2;
  for (int n = 0; n < kMaxSegments; ++n) {
    // Markers may be preceded by any number of fill bytes 0xFF.
    while (in.U8At(pos) == 0xFF && in.U8At(pos + 1) == 0xFF) ++pos;
    const auto ff = in.U8At(pos), marker = in.U8At(pos + 1);
    if (!ff || !marker || *ff != 0xFF) return;
    if (*marker == 0x01 || (*marker >= 0xD0 && *marker <= 0xD8)) {
      pos += 2;
      continue;
    }
    if (*marker == 0xD9 || *marker == 0xDA) return;
    const auto length = in.U16At(pos + 2);
    if (!length || *length < 2) return;
    if (!segment(*marker, pos + 4, size_t{*length} - 2)) return;
    pos += 2 + size_t{*length};
  }
}

}  // namespace

bool ApplyOrientation(Picture& picture, int orientation) {
  if (orientation < 2 || orientation > 8 || picture.Empty()) return true;
  const int w = picture.width, h = picture.height;
  const bool swap = OrientationSwapsSides(orientation);
  Picture turned;
  if (!turned.Allocate(swap ? h : w, swap ? w : h)) return false;
  for (int y = 0; y < turned.height; ++y) {
    uint32_t* out = turned.Row(y);
    for (int x = 0; x < turned.width; ++x) {
      int sx = x, sy = y;
      switch (orientation) {
        case 2:
          sx = w - 1 - x;
          break;
        case 3:
          sx = w - 1 - x;
          sy = h - 1 - y;
          break;
        case 4:
          sy = h - 1 - y;
          break;
        case 5:
          sx = y;
          sy = x;
          break;
        case 6:
          sx = y;
          sy = h - 1 - x;
          break;
        case 7:
          sx = w - 1 - y;
          sy = h - 1 - x;
          break;
        case 8:
          sx = w - 1 - y;
          sy = x;
          break;
      }
      out[x] = picture.At(sx, sy);
    }
  }
  picture = std::move(turned);
  return true;
}

int TiffOrientation(std::span<const uint8_t> tiff) {
  ByteReader in(tiff, Endian::kLittle);
  if (in.Matches(0, "MM")) {
    in.set_order(Endian::kBig);
  } else if (!in.Matches(0, "II")) {
    return kOrientationNormal;
  }
  const auto ifd = in.U32At(4);
  const auto count = ifd ? in.U16At(*ifd) : std::nullopt;
  if (!count) return kOrientationNormal;
  for (uint32_t i = 0; i < std::min<uint32_t>(*count, kMaxEntries); ++i) {
    const size_t entry = size_t{*ifd} + 2 + size_t{i} * 12;
    const auto tag = in.U16At(entry), type = in.U16At(entry + 2), value = in.U16At(entry + 8);
    if (!tag || !type || !value) break;
    if (*tag == kOrientationTag && *type == kShortType) {
      return *value >= 1 && *value <= 8 ? *value : kOrientationNormal;
    }
  }
  return kOrientationNormal;
}

int JpegExifOrientation(std::span<const uint8_t> jpeg) {
  int orientation = kOrientationNormal;
  WalkJpegSegments(jpeg, [&](uint8_t marker, size_t at, size_t length) {
    if (marker != 0xE1 || length < 14 || at + length > jpeg.size()) return true;
    const ByteReader in(jpeg, Endian::kBig);
    if (!in.Matches(at, std::string_view("Exif\0\0", 6))) return true;
    orientation = TiffOrientation(jpeg.subspan(at + 6, length - 6));
    return false;
  });
  return orientation;
}

int OrientationFromRawFlip(int flip) {
  // LibRaw's flip: bit 2 swaps the axes, then bit 1 turns rows upside down and bit 0 columns.
  switch (flip) {
    case 1:
      return 2;
    case 2:
      return 4;
    case 3:
      return 3;
    case 4:
      return 5;
    case 5:
      return 8;
    case 6:
      return 6;
    case 7:
      return 7;
  }
  return kOrientationNormal;
}

std::optional<JpegFrameSize> JpegSize(std::span<const uint8_t> jpeg) {
  std::optional<JpegFrameSize> size;
  WalkJpegSegments(jpeg, [&](uint8_t marker, size_t at, size_t) {
    // Start-of-frame markers; C4 (Huffman tables), C8 and CC (arithmetic coding) are not frames.
    if (marker < 0xC0 || marker > 0xCF || marker == 0xC4 || marker == 0xC8 || marker == 0xCC) {
      return true;
    }
    const ByteReader in(jpeg, Endian::kBig);
    const auto height = in.U16At(at + 1), width = in.U16At(at + 3);
    if (height && width && *height > 0 && *width > 0) size = JpegFrameSize{*width, *height};
    return false;
  });
  return size;
}

}  // namespace pictavo
