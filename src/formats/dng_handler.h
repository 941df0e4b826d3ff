#pragma once

#include <cstdint>

#include "formats/tiff_structure_walker.h"

namespace pictavo {

// DNG from Pentax and Leica cameras: a TIFF header whose first directory's first two Make or
// UniqueCameraModel texts name one of them; measured by the strips or tiles of the sub-IFDs of
// the first directory. DNG files of other makers pass on to the handlers tried after this one.
class DngHandler : public TiffStructureWalker {
 public:
  bool MatchSignature(const uint8_t* sector_head) override;
  bool Verify(SectorSource& source, uint64_t offset) override;
  uint64_t MeasureLength(SectorSource& source, uint64_t offset) override;
  FileTypeId TypeCode() const override { return kTypeDng; }

 private:
  struct TextTag {
    uint32_t offset = 0;
    uint16_t count = 0;
  };

  // True when either text tag names an accepted maker; sets istd_.
  bool CheckTexts(uint64_t base);

  uint32_t first_ifd_offset_ = 0;
  uint16_t first_ifd_entries_ = 0;
  uint32_t start_ifd_offsets_[2] = {0, 0};
  TextTag text_tags_[2];
  uint32_t text_tag_count_ = 0;
  // The Pentax *istD keeps its raw image in the first sub-IFD only.
  bool istd_ = false;
};

}  // namespace pictavo
