#include "formats/arw_handler.h"

#include "formats/exact_measure.h"

namespace pictavo {
namespace {

constexpr std::string_view kSony = "SONY";
constexpr std::string_view kA100 = "DSLR-A100";
// Where, behind the end of the embedded JPEG, the position of the data that follows is stored.
constexpr uint32_t kTrailerValuePosition = 148;

}  // namespace

bool ArwHandler::MatchSignature(const uint8_t* sector_head) {
  a100_ = false;
  sub_ifd_value_ = 0;
  source_ = nullptr;
  return MatchTiffHeader(sector_head);
}

bool ArwHandler::Verify(SectorSource& source, uint64_t offset) {
  entry_count_ = 0;
  start_ifd_offsets_[0] = 0;
  start_ifd_offsets_[1] = 0;
  if (!AttachSource(source)) return false;
  ScanWindow window = MakeWindow();
  if (!ReadIfdHeader(offset, current_ifd_offset_, window)) return false;
  bool accepted = false;
  for (uint32_t i = 0; i < entry_count_; ++i) {
    const std::optional<IfdEntry> entry = EntryAt(window, i);
    if (!entry) break;
    if (entry->tag == kTagMake && entry->type == kTiffAscii) {
      if (!MatchAsciiTag(offset, entry->value, entry->count, 4, {kSony, kA100})) break;
      accepted = true;
    } else if (entry->tag == kTagModel && entry->type == kTiffAscii) {
      if (MatchAsciiTag(offset, entry->value, entry->count, 9, {kSony, kA100})) a100_ = true;
    } else if (entry->tag == kTagSubIfds) {
      if (a100_) sub_ifd_value_ = entry->value;
      TakeSubIfdOffsets(offset, *entry, start_ifd_offsets_);
      break;
    }
  }
  if (a100_) {
    start_ifd_offsets_[1] = 0;
    start_ifd_offsets_[0] = NextIfdOffsetFromWindow(window);
    current_ifd_offset_ = start_ifd_offsets_[0];
  }
  return accepted;
}

uint64_t ArwHandler::MeasureLength(SectorSource& source, uint64_t offset) {
  if (exact_ends()) {
    if (const uint64_t whole = MeasureTiffWhole(source, offset)) return whole;
  }
  extent_ = 0;
  visits_.Reset();
  if (AttachSource(source)) {
    ScanWindow window = MakeWindow();
    for (const uint32_t start : start_ifd_offsets_) {
      current_ifd_offset_ = start;
      while (current_ifd_offset_ != 0) WalkIfd(offset, window);
    }
  }
  extent_ = CapLength(extent_);
  return extent_;
}

void ArwHandler::WalkIfd(uint64_t base, ScanWindow& window) {
  const uint32_t ifd_offset = current_ifd_offset_;
  current_ifd_offset_ = 0;
  // A chain that comes back to a directory walked before ends there; the log bounds it too.
  if (!visits_.Enter(ifd_offset)) return;
  if (!ReadIfdHeader(base, ifd_offset, window)) return;
  uint32_t jpeg_offset = 0;
  std::optional<uint32_t> trailer_value;
  for (uint32_t i = 0; i < entry_count_; ++i) {
    const std::optional<IfdEntry> entry = EntryAt(window, i);
    if (!entry) return;  // the directory runs past the window: it ends here
    switch (entry->tag) {
      case kTagStripOffsets:
        if (!ApplyStripOffsets(base, *entry, ifd_offset, entry_count_)) return;
        break;
      case kTagStripByteCounts:
        if (!ApplyStripByteCounts(base, *entry)) return;
        break;
      case kTagJpegInterchangeFormat:
        jpeg_offset = entry->value;
        break;
      case kTagJpegInterchangeFormatLength: {
        // The data behind the embedded JPEG names where the file goes on.
        const uint32_t jpeg_end = jpeg_offset + entry->value;
        if (!ReadIfdHeader(base, jpeg_end, window)) return;
        trailer_value = WindowU32(window, ifd_position_ + kTrailerValuePosition).value_or(0);
        extent_ = uint64_t{*trailer_value} + sub_ifd_value_;
        break;
      }
      default:
        break;
    }
    if (trailer_value) break;
  }
  if (entry_count_ == 0 || a100_) return;
  current_ifd_offset_ = trailer_value ? *trailer_value : NextIfdOffsetFromWindow(window);
}

}  // namespace pictavo
