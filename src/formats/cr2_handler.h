#pragma once

#include <cstdint>

#include "formats/tiff_structure_walker.h"

namespace pictavo {

// Canon CR2: a TIFF header (or the 0x94 0x94 variant) with "CR" at byte 8 and a first Make of
// "Canon". The raw image is kept in the fourth directory of the chain; the file is measured by
// that directory's last strip.
class Cr2Handler : public TiffStructureWalker {
 public:
  bool MatchSignature(const uint8_t* sector_head) override;
  bool Verify(SectorSource& source, uint64_t offset) override;
  uint64_t MeasureLength(SectorSource& source, uint64_t offset) override;
  FileTypeId TypeCode() const override { return kTypeCr2; }
  std::bitset<256> SignatureFirstBytes() const override {
    return std::bitset<256>().set('I').set('M').set(0x94);
  }
};

}  // namespace pictavo
