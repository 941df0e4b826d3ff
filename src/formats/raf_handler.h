#pragma once

#include "engine/format_handler.h"

namespace pictavo {

// Fuji raw: a sector that starts with "FUJIFILMCCD-RAW", whose length follows from the offsets in
// its header (the raw data's offset and length, and the value at 132 after them).
class RafHandler : public FormatHandler {
 public:
  static constexpr uint64_t kMaxLength = 0xFA00000;

  bool MatchSignature(const uint8_t* sector_head) override;
  bool Verify(SectorSource& source, uint64_t offset) override;
  uint64_t MeasureLength(SectorSource& source, uint64_t offset) override;
  std::bitset<256> SignatureFirstBytes() const override { return std::bitset<256>().set('F'); }
  FileTypeId TypeCode() const override { return kTypeRaf; }

 private:
  uint64_t length_ = 0;
};

}  // namespace pictavo
