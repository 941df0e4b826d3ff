#pragma once

#include <cstdint>
#include <optional>

#include "formats/tiff_structure_walker.h"

namespace pictavo {

// Plain TIFF: every sector with a standard TIFF header. It accepts what the camera raw handlers
// before it rejected, and measures the file by walking the chain of directories (and their
// sub-directories) and adding up the pieces they describe: the last strip, the directories
// themselves and the values stored outside the entries. When a directory names a Canon camera, a
// JPEG stream stored right behind the last strip is measured and added as well.
class TiffHandler : public TiffStructureWalker {
 public:
  bool MatchSignature(const uint8_t* sector_head) override;
  uint64_t MeasureLength(SectorSource& source, uint64_t offset) override;
  FileTypeId TypeCode() const override { return kTypeTiff; }

 private:
  enum class IfdKind { kMain, kSub };

  void WalkIfd(uint64_t base, uint32_t ifd_offset, IfdKind kind);
  // The values an entry keeps outside its 12 bytes.
  static uint64_t OutOfLineSize(const IfdEntry& entry);
  // The extent of a JPEG stream whose start-of-image lies within 300 bytes of `position` + 2:
  // from `position` to the byte after its end-of-image marker, or 0 when there is none.
  uint64_t MeasureEmbeddedJpeg(uint64_t position);

  uint32_t sub_ifd_offsets_[2] = {0, 0};
  bool canon_ = false;
  uint32_t last_strip_offset_ = 0;
  uint32_t last_strip_byte_count_ = 0;
  // The last embedded-JPEG measurement of this candidate: the same position is measured after
  // every later directory, and the answer does not change.
  std::optional<uint64_t> jpeg_position_;
  uint64_t jpeg_extent_ = 0;
};

}  // namespace pictavo
