#pragma once

#include "engine/format_handler.h"

namespace pictavo {

// Windows bitmap: a sector that starts with "BM" and two zero reserved fields. The length is the
// declared file size, or one computed from the dimensions when that is 0 or above the cap.
class BmpHandler : public FormatHandler {
 public:
  static constexpr uint32_t kMaxLength = 0xA00000;

  bool MatchSignature(const uint8_t* sector_head) override;
  uint64_t MeasureLength(SectorSource& source, uint64_t offset) override;
  FileTypeId TypeCode() const override { return kTypeBmp; }
  std::bitset<256> SignatureFirstBytes() const override { return std::bitset<256>().set('B'); }

 private:
  // The declared file size, replaced by the computed one when needed.
  uint32_t length_ = 0;
};

}  // namespace pictavo
