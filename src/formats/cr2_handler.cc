#include "formats/cr2_handler.h"

#include "formats/exact_measure.h"

namespace pictavo {

bool Cr2Handler::MatchSignature(const uint8_t* sector_head) {
  little_endian_ = false;
  current_ifd_offset_ = 0;
  if (sector_head[8] != 'C' || sector_head[9] != 'R') return false;
  if (sector_head[0] == 0x94 && sector_head[1] == 0x94 && LoadLe16(sector_head + 2) == 0x00A2) {
    little_endian_ = true;
    current_ifd_offset_ = LoadLe32(sector_head + 4);
    return true;
  }
  return MatchTiffHeader(sector_head);
}

bool Cr2Handler::Verify(SectorSource& source, uint64_t offset) {
  if (!AttachSource(source)) return false;
  const std::optional<IfdEntry> make = FindFirstMake(offset);
  return make && MatchAsciiTag(offset, make->value, make->count, 5, {"Canon"});
}

uint64_t Cr2Handler::MeasureLength(SectorSource& source, uint64_t offset) {
  if (exact_ends()) {
    if (const uint64_t whole = MeasureTiffWhole(source, offset)) {
      return whole + MeasureCanonTrailer(source, offset + whole);
    }
  }
  extent_ = 0;
  visits_.Reset();
  if (!AttachSource(source)) return 0;
  ScanWindow window = MakeWindow();
  visits_.Enter(current_ifd_offset_);
  // Three steps along the chain from the first directory, with the entry count Verify read,
  // reach the fourth directory, which holds the raw image. A chain that ends earlier, or comes
  // back to a directory it passed, has no raw image: the length is 0.
  constexpr int kStepsToRawIfd = 3;
  for (int step = 0; step < kStepsToRawIfd; ++step) {
    current_ifd_offset_ = ReadNextIfdOffset(offset, current_ifd_offset_, entry_count_);
    if (current_ifd_offset_ == 0) break;
    if (!visits_.Enter(current_ifd_offset_)) {
      current_ifd_offset_ = 0;
      break;
    }
    ReadIfdHeader(offset, current_ifd_offset_, window);  // a failed read leaves 0 entries
  }
  if (current_ifd_offset_ != 0) WalkStripIfd(offset, window, {});
  extent_ = CapLength(extent_);
  return extent_;
}

}  // namespace pictavo
