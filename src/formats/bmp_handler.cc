#include "formats/bmp_handler.h"

#include <algorithm>
#include <vector>

#include "formats/byte_reader.h"

namespace pictavo {
namespace {

constexpr size_t kDeclaredSizeOffset = 2;
constexpr size_t kReservedOffset = 6;
constexpr size_t kWidthOffset = 18;
constexpr size_t kHeightOffset = 22;
constexpr size_t kBitsPerPixelOffset = 28;
constexpr size_t kHeaderFieldsEnd = 30;

}  // namespace

bool BmpHandler::MatchSignature(const uint8_t* sector_head) {
  length_ = LoadLe32(sector_head + kDeclaredSizeOffset);
  return sector_head[0] == 'B' && sector_head[1] == 'M' &&
         LoadLe32(sector_head + kReservedOffset) == 0;
}

uint64_t BmpHandler::MeasureLength(SectorSource& source, uint64_t offset) {
  if (length_ != 0 && length_ <= kMaxLength) return length_;

  const uint16_t sector_size = GetSectorSize(source);
  // One sector plus two spare bytes; never less than the header fields, which read as zeros
  // where a tiny sector ends before them.
  std::vector<uint8_t> sector(std::max<size_t>(size_t{sector_size} + 2, kHeaderFieldsEnd), 0);
  if (sector_size != 0 && ReadAt(source, offset, sector_size, sector.data())) {
    const uint16_t bits_per_pixel = LoadLe16(sector.data() + kBitsPerPixelOffset);
    if (bits_per_pixel % 8 == 0) {
      // 32-bit arithmetic that wraps, as the width and height are signed: a top-down bitmap's
      // negative height makes a huge unsigned length, which the cap below catches. Row padding
      // is not counted; the added sector stands for the headers and palette.
      const uint32_t width = LoadLe32(sector.data() + kWidthOffset);
      const uint32_t height = LoadLe32(sector.data() + kHeightOffset);
      length_ = uint32_t{bits_per_pixel / 8u} * height * width + sector_size;
    }
  }
  return std::min(length_, kMaxLength);
}

}  // namespace pictavo
