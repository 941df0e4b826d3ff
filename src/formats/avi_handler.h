#pragma once

#include "engine/format_handler.h"

namespace pictavo {

// AVI video: a sector that starts with the RIFF header of form "AVI ", measured by stepping over
// its top-level chunks while their identifiers are ones an AVI file carries at the top. The RIFF
// size field is not used. No cap: the scan keeps the low 32 bits of the length.
class AviHandler : public FormatHandler {
 public:
  static constexpr uint32_t kWindowSectors = 8;

  bool MatchSignature(const uint8_t* sector_head) override;
  uint64_t MeasureLength(SectorSource& source, uint64_t offset) override;
  std::bitset<256> SignatureFirstBytes() const override { return std::bitset<256>().set('R'); }
  FileTypeId TypeCode() const override { return kTypeAvi; }

 private:
  uint64_t extent_ = 0;
};

}  // namespace pictavo
