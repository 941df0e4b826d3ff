#pragma once

#include "engine/format_handler.h"
#include "formats/lazy_window.h"

namespace pictavo {

// GIF: a sector that starts with "GIF87a" or "GIF89a", measured by walking its extensions,
// images and data sub-blocks up to a zero size byte followed by the trailer, within 10 MiB.
class GifHandler : public FormatHandler {
 public:
  // Sectors read from the file's start; the walk itself stops at kWalkLimit whatever the sector
  // size.
  static constexpr uint32_t kWindowSectors = 20480;
  static constexpr uint32_t kWalkLimit = 0xA00000;

  bool MatchSignature(const uint8_t* sector_head) override;
  uint64_t MeasureLength(SectorSource& source, uint64_t offset) override;
  FileTypeId TypeCode() const override { return kTypeGif; }
  std::bitset<256> SignatureFirstBytes() const override { return std::bitset<256>().set('G'); }

 private:
  // Records a packed-fields byte (logical screen or image descriptor) and what it says about a
  // colour table.
  void RecordPackedByte(uint8_t packed);
  // Bytes of the colour table the last packed byte announced (3 x 2^(exponent + 1)).
  uint32_t ColourTableBytes() const { return 3u << (table_size_exponent_ + 1); }

  // The first 20,480 sectors of the candidate, read only as far as the walk goes.
  LazyWindow window_;
  uint8_t packed_byte_ = 0;
  bool colour_table_ = false;
  uint8_t table_size_exponent_ = 0;
};

}  // namespace pictavo
