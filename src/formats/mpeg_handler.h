#pragma once

#include "engine/format_handler.h"

namespace pictavo {

// MPEG program streams: a sector that starts with a pack start code, measured by following the
// chain of packs and packets by their start codes and lengths.
class MpegHandler : public FormatHandler {
 public:
  static constexpr uint32_t kPackStart = 0x000001BA;
  static constexpr uint32_t kProgramEnd = 0x000001B9;
  static constexpr uint32_t kWindowSectors = 8;

  bool MatchSignature(const uint8_t* sector_head) override;
  uint64_t MeasureLength(SectorSource& source, uint64_t offset) override;
  std::bitset<256> SignatureFirstBytes() const override { return std::bitset<256>().set(0x00); }
  FileTypeId TypeCode() const override { return kTypeMpeg; }

 private:
  uint64_t length_ = 0;
};

}  // namespace pictavo
