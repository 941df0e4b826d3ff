#pragma once

#include <cstdint>

#include "formats/tiff_structure_walker.h"

namespace pictavo {

// Sony ARW: a TIFF header and a Make of "SONY" before the SubIFDs entry of the first directory;
// measured along the chains that start at the sub-IFDs. The DSLR-A100 keeps its raw data
// differently and is measured from the directory after the first.
class ArwHandler : public TiffStructureWalker {
 public:
  bool MatchSignature(const uint8_t* sector_head) override;
  bool Verify(SectorSource& source, uint64_t offset) override;
  uint64_t MeasureLength(SectorSource& source, uint64_t offset) override;
  FileTypeId TypeCode() const override { return kTypeArw; }

 private:
  // Walks the directory at current_ifd_offset_ and sets current_ifd_offset_ to the next one to
  // walk, or 0.
  void WalkIfd(uint64_t base, ScanWindow& window);

  uint32_t start_ifd_offsets_[2] = {0, 0};
  // The DSLR-A100's SubIFDs value, added to the position its JPEG trailer names.
  uint64_t sub_ifd_value_ = 0;
  bool a100_ = false;
};

}  // namespace pictavo
