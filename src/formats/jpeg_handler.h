#pragma once

#include "engine/format_handler.h"

namespace pictavo {

// JPEG: a sector that starts with the start-of-image marker, proved by walking the header
// segments up to the first start-of-scan marker, and measured up to the first end-of-image
// marker after it.
class JpegHandler : public FormatHandler {
 public:
  static constexpr uint64_t kMaxLength = 0xFA00000;
  static constexpr uint32_t kWindowSectors = 8;

  bool MatchSignature(const uint8_t* sector_head) override;
  bool Verify(SectorSource& source, uint64_t offset) override;
  uint64_t MeasureLength(SectorSource& source, uint64_t offset) override;
  FileTypeId TypeCode() const override { return kTypeJpeg; }
  std::bitset<256> SignatureFirstBytes() const override { return std::bitset<256>().set(0xFF); }

 private:
  uint64_t measured_length_ = 0;
  uint64_t candidate_start_ = 0;
  uint16_t sector_size_ = 0;
  // File-relative offset of the first start-of-scan marker.
  uint64_t scan_start_ = 0;
};

}  // namespace pictavo
