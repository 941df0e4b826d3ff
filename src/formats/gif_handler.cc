#include "formats/gif_handler.h"

#include <cstring>

namespace pictavo {
namespace {

constexpr uint8_t kExtensionIntroducer = 0x21;
constexpr uint8_t kImageIntroducer = 0x2C;
constexpr uint8_t kTrailer = 0x3B;
// Signature and logical screen descriptor; the global colour table or the first block follows.
constexpr uint32_t kHeaderSize = 13;
constexpr uint32_t kScreenPackedOffset = 10;
// Image descriptor: introducer, four 16-bit fields, packed byte.
constexpr uint32_t kImageDescriptorSize = 10;
constexpr uint32_t kImagePackedOffset = 9;

bool IsIntroducer(uint8_t byte) { return byte == kExtensionIntroducer || byte == kImageIntroducer; }

}  // namespace

void GifHandler::RecordPackedByte(uint8_t packed) {
  packed_byte_ = packed;
  if (packed & 0x80) {
    colour_table_ = true;
    table_size_exponent_ = packed & 0x07;
  }
}

bool GifHandler::MatchSignature(const uint8_t* sector_head) {
  colour_table_ = false;
  table_size_exponent_ = 0;
  if (std::memcmp(sector_head, "GIF89a", 6) != 0 && std::memcmp(sector_head, "GIF87a", 6) != 0) {
    return false;
  }
  RecordPackedByte(sector_head[kScreenPackedOffset]);
  return true;
}

uint64_t GifHandler::MeasureLength(SectorSource& source, uint64_t offset) {
  uint64_t pos = kHeaderSize + (colour_table_ ? ColourTableBytes() : 0);
  const uint16_t sector_size = GetSectorSize(source);
  if (sector_size == 0) return 0;
  const uint32_t window_bytes = uint32_t{sector_size} * kWindowSectors;
  if (!window_.Open(source, offset, window_bytes)) return 0;
  // Bytes behind the data read count as zeros.
  auto at = [this](uint64_t p) { return window_.At(p); };

  // The first step takes the byte at the position as a block introducer. Every later step starts
  // at a sub-block size byte, and a block is recognised only behind a zero size byte (the end of
  // the previous chain). Each step advances by at least one byte, so the limit ends the walk.
  constexpr uint64_t kLastStep = kWalkLimit - 10;  // the walk steps while position + 10 <= limit
  bool first_step = true;
  for (;;) {
    if (pos > kLastStep) break;
    const uint8_t byte = at(pos);
    if (byte == 0x00 && at(pos + 1) == kTrailer) break;
    uint64_t introducer_pos = pos;
    const bool first = first_step;
    first_step = false;
    if (first && !IsIntroducer(byte)) {
      pos += 1;
      continue;
    }
    if (!first) {
      if (byte == 0x00 && at(pos + 1) == 0x00) {
        // A run of empty sub-blocks advances one byte a step: go straight to the last zero of
        // the run, or to the first position the limit stops.
        pos = window_.FirstNonZero(pos + 1, kLastStep + 2) - 1;
        continue;
      }
      if (byte != 0x00 || !IsIntroducer(at(pos + 1))) {
        // A data sub-block: its size byte and that many bytes.
        pos += 1 + byte;
        continue;
      }
      introducer_pos = pos + 1;
    }
    if (at(introducer_pos) == kExtensionIntroducer) {
      // Introducer, label, then the first sub-block: its size byte and data.
      pos = introducer_pos + 3 + at(introducer_pos + 2);
    } else {
      const uint8_t packed = at(introducer_pos + kImagePackedOffset);
      RecordPackedByte(packed);
      const uint32_t local_table = (packed & 0x80) ? ColourTableBytes() : 0;
      // Descriptor, local colour table, LZW minimum code size, then the first data sub-block.
      const uint64_t first_sub_block = introducer_pos + kImageDescriptorSize + local_table + 1;
      pos = first_sub_block + 1 + at(first_sub_block);
    }
  }
  return pos + 2;
}

}  // namespace pictavo
