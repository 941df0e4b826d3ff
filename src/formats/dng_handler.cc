#include "formats/dng_handler.h"

#include "formats/exact_measure.h"

namespace pictavo {

bool DngHandler::MatchSignature(const uint8_t* sector_head) {
  if (!MatchTiffHeader(sector_head)) return false;
  first_ifd_offset_ = current_ifd_offset_;
  return true;
}

bool DngHandler::Verify(SectorSource& source, uint64_t offset) {
  entry_count_ = 0;
  start_ifd_offsets_[0] = 0;
  start_ifd_offsets_[1] = 0;
  text_tags_[0] = {};
  text_tags_[1] = {};
  text_tag_count_ = 0;
  istd_ = false;
  if (!AttachSource(source)) return false;
  ScanWindow window = MakeWindow();
  if (!ReadIfdHeader(offset, first_ifd_offset_, window)) {
    current_ifd_offset_ = 0;
    return false;
  }
  first_ifd_entries_ = entry_count_;
  for (uint32_t i = 0; i < entry_count_; ++i) {
    const std::optional<IfdEntry> entry = EntryAt(window, i);
    if (!entry) break;
    if (entry->tag == kTagMake || entry->tag == kTagUniqueCameraModel) {
      // Counts are kept as 16-bit values; a text is never that long.
      text_tags_[text_tag_count_++] = {entry->value, static_cast<uint16_t>(entry->count)};
      if (text_tag_count_ == 2) return CheckTexts(offset);
    } else if (entry->tag == kTagSubIfds) {
      TakeSubIfdOffsets(offset, *entry, start_ifd_offsets_);
    }
  }
  return false;
}

bool DngHandler::CheckTexts(uint64_t base) {
  bool accepted = false;
  for (const TextTag& tag : text_tags_) {
    const std::optional<std::string> text = ReadText(base, tag.offset, tag.count);
    if (!text) return false;
    if (text->starts_with("PENTAX Corporation") || text->starts_with("Leica Camera AG")) {
      accepted = true;
    }
    if (text->starts_with("Pentax *istD")) istd_ = true;
  }
  return accepted;
}

uint64_t DngHandler::MeasureLength(SectorSource& source, uint64_t offset) {
  if (exact_ends()) {
    if (const uint64_t whole = MeasureTiffWhole(source, offset)) return whole;
  }
  extent_ = 0;
  visits_.Reset();
  if (AttachSource(source)) {
    ScanWindow window = MakeWindow();
    // Tiles count like strips, and the data-before-directory test is made against the first
    // directory, whichever sub-IFD is walked.
    StripWalkRules rules;
    rules.more_offsets_tag = kTagTileOffsets;
    rules.more_byte_counts_tag = kTagTileByteCounts;
    rules.reference_ifd_offset = first_ifd_offset_;
    rules.reference_ifd_entries = first_ifd_entries_;
    const int sub_ifds = istd_ ? 1 : 2;
    for (int i = 0; i < sub_ifds; ++i) {
      current_ifd_offset_ = start_ifd_offsets_[i];
      if (current_ifd_offset_ == 0 || !visits_.Enter(current_ifd_offset_)) continue;
      WalkStripIfd(offset, window, rules);
    }
  }
  extent_ = CapLength(extent_);
  return extent_;
}

}  // namespace pictavo
