#include "formats/webp_handler.h"

#include <cstring>

#include "formats/byte_reader.h"

namespace pictavo {

bool WebpHandler::MatchSignature(const uint8_t* sector_head) {
  length_ = 0;
  if (std::memcmp(sector_head, "RIFF", 4) != 0 || std::memcmp(sector_head + 8, "WEBP", 4) != 0) {
    return false;
  }
  const uint32_t riff_size = LoadLe32(sector_head + 4);
  const uint32_t chunk_size = LoadLe32(sector_head + 16);
  const uint64_t chunk_extent = 4 + 8 + uint64_t{chunk_size} + (chunk_size & 1);
  if (riff_size % 2 != 0 || chunk_extent > riff_size) return false;
  const uint8_t* chunk = sector_head + 12;
  const uint8_t* data = sector_head + 20;
  if (std::memcmp(chunk, "VP8 ", 4) == 0) {
    // A key frame: bit 0 of the frame tag clear, then the start code 9D 01 2A, whose last byte
    // lies just past the 25 bytes a sector head holds.
    if ((data[0] & 1) != 0 || data[3] != 0x9D || data[4] != 0x01) return false;
  } else if (std::memcmp(chunk, "VP8L", 4) == 0) {
    if (data[0] != 0x2F || chunk_size < 5) return false;
  } else if (std::memcmp(chunk, "VP8X", 4) == 0) {
    // Ten bytes: flags with the two low and two high bits reserved, then the canvas size.
    if (chunk_size != 10 || (data[0] & 0xC1) != 0 || riff_size < 4 + 18 + 8) return false;
  } else {
    return false;
  }
  length_ = uint64_t{riff_size} + 8;
  return true;
}

uint64_t WebpHandler::MeasureLength(SectorSource&, uint64_t) { return length_; }

}  // namespace pictavo
