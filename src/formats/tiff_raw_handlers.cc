#include "formats/tiff_raw_handlers.h"

#include "formats/exact_measure.h"

namespace pictavo {
namespace {

bool HeaderIs(const uint8_t* head, uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
  return head[0] == b0 && head[1] == b1 && head[2] == b2 && head[3] == b3;
}

}  // namespace

// ---- NEF ----

bool NefHandler::MatchSignature(const uint8_t* sector_head) {
  current_ifd_offset_ = 0;
  // Some writers mark the byte order with "mm"; its version word then says which order it is.
  if (HeaderIs(sector_head, 'I', 'I', 0x2A, 0x00) || HeaderIs(sector_head, 'm', 'm', 0x2A, 0x00)) {
    little_endian_ = true;
    current_ifd_offset_ = LoadLe32(sector_head + 4);
    return true;
  }
  if (HeaderIs(sector_head, 'M', 'M', 0x00, 0x2A) || HeaderIs(sector_head, 'm', 'm', 0x00, 0x2A)) {
    little_endian_ = false;
    current_ifd_offset_ = LoadBe32(sector_head + 4);
    return true;
  }
  return false;
}

bool NefHandler::Verify(SectorSource& source, uint64_t offset) {
  entry_count_ = 0;
  sub_ifd_offsets_[0] = 0;
  sub_ifd_offsets_[1] = 0;
  if (!AttachSource(source)) return false;
  ScanWindow window = MakeWindow();
  if (!ReadIfdHeader(offset, current_ifd_offset_, window)) return false;
  // The Make must come before the SubIFDs entry, which ends the walk.
  bool accepted = false;
  for (uint32_t i = 0; i < entry_count_; ++i) {
    const std::optional<IfdEntry> entry = EntryAt(window, i);
    if (!entry) break;
    if (entry->tag == kTagMake && entry->type == kTiffAscii &&
        MatchAsciiTag(offset, entry->value, entry->count, 5, {"NIKON", "nikon"})) {
      accepted = true;
    } else if (entry->tag == kTagSubIfds) {
      TakeSubIfdOffsets(offset, *entry, sub_ifd_offsets_);
      break;
    }
  }
  return accepted;
}

uint64_t NefHandler::MeasureLength(SectorSource& source, uint64_t offset) {
  if (exact_ends()) {
    if (const uint64_t whole = MeasureTiffWhole(source, offset)) return whole;
  }
  extent_ = 0;
  visits_.Reset();
  if (AttachSource(source)) {
    ScanWindow window = MakeWindow();
    // The first directory holds the preview; the raw data hangs off the sub-IFD chains. Each
    // chain ends at a directory walked before, and the visit log bounds them all.
    for (const uint32_t start : sub_ifd_offsets_) {
      current_ifd_offset_ = start;
      while (current_ifd_offset_ != 0 && visits_.Enter(current_ifd_offset_)) {
        const IfdWalkEnd end = WalkStripIfd(offset, window, {});
        current_ifd_offset_ = end == IfdWalkEnd::kComplete ? NextIfdOffsetFromWindow(window) : 0;
      }
    }
  }
  // Without any strip, the length is unknown and reported at the cap.
  if (extent_ == 0 || extent_ > kMaxLength) extent_ = kMaxLength;
  return extent_;
}

// ---- ORF and Panasonic raw ----

uint64_t FourIfdRawHandler::MeasureFirstIfds(SectorSource& source, uint64_t base,
                                             bool skip_unset_offset) {
  extent_ = 0;
  visits_.Reset();
  if (!AttachSource(source)) return 0;
  ScanWindow window = MakeWindow();
  StripWalkRules rules;
  rules.stop_after_byte_counts = true;
  rules.skip_unset_offset = skip_unset_offset;
  // The walk stops at the byte counts, so the chain goes on from the offset read behind the
  // directory's entries.
  for (uint32_t walked = 0; walked < kMaxIfds && current_ifd_offset_ != 0; ++walked) {
    if (!visits_.Enter(current_ifd_offset_)) break;
    if (WalkStripIfd(base, window, rules) == IfdWalkEnd::kUnreadable) break;
    if (!ReadIfdHeader(base, current_ifd_offset_, window)) break;
    current_ifd_offset_ = ReadNextIfdOffset(base, current_ifd_offset_, entry_count_);
  }
  return extent_;
}

bool OrfHandler::MatchSignature(const uint8_t* sector_head) {
  current_ifd_offset_ = 0;
  source_ = nullptr;
  little_endian_ = false;
  if (HeaderIs(sector_head, 'I', 'I', 0x52, 0x4F) || HeaderIs(sector_head, 'I', 'I', 0x52, 0x53)) {
    little_endian_ = true;
    current_ifd_offset_ = LoadLe32(sector_head + 4);
    return true;
  }
  if (HeaderIs(sector_head, 'M', 'M', 0x4F, 0x52) || HeaderIs(sector_head, 'M', 'M', 0x53, 0x52)) {
    current_ifd_offset_ = LoadBe32(sector_head + 4);
    return true;
  }
  return false;
}

bool OrfHandler::Verify(SectorSource& source, uint64_t offset) {
  if (!AttachSource(source)) return false;
  const std::optional<IfdEntry> make = FindFirstMake(offset);
  return make && MatchAsciiTag(offset, make->value, make->count, 4, {"OLYM"});
}

uint64_t OrfHandler::MeasureLength(SectorSource& source, uint64_t offset) {
  if (exact_ends()) {
    if (const uint64_t whole = MeasureTiffWhole(source, offset)) return whole;
  }
  extent_ = CapLength(MeasureFirstIfds(source, offset, false));
  return extent_;
}

bool PanasonicRawHandler::MatchSignature(const uint8_t* sector_head) {
  current_ifd_offset_ = 0;
  source_ = nullptr;
  little_endian_ = false;
  if (HeaderIs(sector_head, 'I', 'I', 0x55, 0x00)) {
    little_endian_ = true;
    current_ifd_offset_ = LoadLe32(sector_head + 4);
    return true;
  }
  if (HeaderIs(sector_head, 'M', 'M', 0x00, 0x55)) {
    current_ifd_offset_ = LoadBe32(sector_head + 4);
    return true;
  }
  return false;
}

bool PanasonicRawHandler::Verify(SectorSource& source, uint64_t offset) {
  if (!AttachSource(source)) return false;
  const std::optional<IfdEntry> make = FindFirstMake(offset);
  if (!make) return false;
  return MatchAsciiTag(offset, make->value, make->count, 5, {"LEICA"}) ||
         MatchAsciiTag(offset, make->value, make->count, 9, {"Panasonic"});
}

uint64_t PanasonicRawHandler::MeasureLength(SectorSource& source, uint64_t offset) {
  if (exact_ends()) {
    if (const uint64_t whole = MeasureTiffWhole(source, offset)) return whole;
  }
  // The strip offset is often stored as 0xFFFFFFFF, so the byte counts are most of the answer;
  // one sector more is added for the header.
  const uint64_t extent = MeasureFirstIfds(source, offset, true);
  extent_ = CapLength(extent + sector_size_);
  return extent_;
}

// ---- PEF ----

bool PefHandler::MatchSignature(const uint8_t* sector_head) {
  current_ifd_offset_ = 0;
  source_ = nullptr;
  little_endian_ = false;
  return MatchTiffHeader(sector_head);
}

bool PefHandler::Verify(SectorSource& source, uint64_t offset) {
  if (!AttachSource(source)) return false;
  const std::optional<IfdEntry> make = FindFirstMake(offset);
  return make && MatchAsciiTag(offset, make->value, make->count, 6, {"PENTAX"});
}

uint64_t PefHandler::MeasureLength(SectorSource& source, uint64_t offset) {
  if (exact_ends()) {
    if (const uint64_t whole = MeasureTiffWhole(source, offset)) return whole;
  }
  extent_ = 0;
  visits_.Reset();
  if (AttachSource(source)) {
    ScanWindow window = MakeWindow();
    // The file ends with the JPEG stream named by the last of the first three directories that
    // names one.
    StripWalkRules rules;
    rules.offsets_tag = kTagJpegInterchangeFormat;
    rules.byte_counts_tag = kTagJpegInterchangeFormatLength;
    constexpr uint32_t kMaxIfds = 3;
    for (uint32_t walked = 0; walked < kMaxIfds && current_ifd_offset_ != 0; ++walked) {
      if (!visits_.Enter(current_ifd_offset_)) break;
      const IfdWalkEnd end = WalkStripIfd(offset, window, rules);
      current_ifd_offset_ = end == IfdWalkEnd::kComplete ? NextIfdOffsetFromWindow(window) : 0;
    }
  }
  extent_ = CapLength(extent_);
  return extent_;
}

}  // namespace pictavo
