#pragma once

#include "engine/format_handler.h"

namespace pictavo {

// Minolta raw: a sector that starts with the MRM block (a zero byte and "MRM"), proved by finding
// the PRD block among the header blocks, and measured from the sensor size and storage mode that
// block records.
class MrwHandler : public FormatHandler {
 public:
  static constexpr uint32_t kMaxLength = 0xFA00000;
  static constexpr uint8_t kPacked = 0x59;    // "Y": 12-bit samples, 1.5 bytes per pixel
  static constexpr uint8_t kUnpacked = 0x52;  // "R": 2 bytes per pixel

  bool MatchSignature(const uint8_t* sector_head) override;
  bool Verify(SectorSource& source, uint64_t offset) override;
  uint64_t MeasureLength(SectorSource& source, uint64_t offset) override;
  std::bitset<256> SignatureFirstBytes() const override { return std::bitset<256>().set(0x00); }
  FileTypeId TypeCode() const override { return kTypeMrw; }

 private:
  uint32_t mrm_length_ = 0;
  uint16_t sensor_height_ = 0;
  uint16_t sensor_width_ = 0;
  uint8_t storage_ = 0;
  uint64_t length_ = 0;
};

}  // namespace pictavo
