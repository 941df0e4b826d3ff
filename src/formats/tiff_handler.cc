#include "formats/tiff_handler.h"

#include <cstring>

#include "formats/exact_measure.h"

namespace pictavo {

bool TiffHandler::MatchSignature(const uint8_t* sector_head) {
  canon_ = false;
  return MatchTiffHeader(sector_head);
}

uint64_t TiffHandler::MeasureLength(SectorSource& source, uint64_t offset) {
  if (exact_ends()) {
    if (const uint64_t whole = MeasureTiffWhole(source, offset)) return whole;
  }
  extent_ = 0;
  visits_.Reset();
  last_strip_offset_ = 0;
  last_strip_byte_count_ = 0;
  jpeg_position_.reset();
  if (!AttachSource(source)) current_ifd_offset_ = 0;
  // Every walk replaces the next-IFD offset, so after the sub-IFDs the chain goes on from the
  // last sub-IFD's successor (normally none), not from the main IFD's. The chain ends at the
  // first directory walked before; the visit log also bounds it.
  while (current_ifd_offset_ != 0) {
    sub_ifd_offsets_[0] = 0;
    sub_ifd_offsets_[1] = 0;
    WalkIfd(offset, current_ifd_offset_, IfdKind::kMain);
    if (sub_ifd_offsets_[0] != 0) {
      WalkIfd(offset, sub_ifd_offsets_[0], IfdKind::kSub);
      // Read after the first walk: a sub-IFD with its own SubIFDs entry replaces both offsets.
      WalkIfd(offset, sub_ifd_offsets_[1], IfdKind::kSub);
    }
  }
  // A structure that yields no length at all is reported at the cap, like an over-long one.
  if (extent_ == 0 || extent_ > kMaxLength) extent_ = kMaxLength;
  return extent_;
}

uint64_t TiffHandler::OutOfLineSize(const IfdEntry& entry) {
  switch (entry.type) {
    case kTiffAscii:
      return entry.count > 4 ? entry.count : 0;
    case kTiffShort:
      return entry.count > 2 ? 2 * uint64_t{entry.count} : 0;
    case kTiffLong:
      return entry.count > 1 ? 4 * uint64_t{entry.count} : 0;
    case kTiffRational:
      return 8 * uint64_t{entry.count};
    default:
      return 0;
  }
}

void TiffHandler::WalkIfd(uint64_t base, uint32_t ifd_offset, IfdKind kind) {
  if (ifd_offset == 0) return;
  if (!visits_.Enter(ifd_offset)) {
    current_ifd_offset_ = 0;
    return;
  }
  ScanWindow window = MakeWindow();
  if (!ReadIfdHeader(base, ifd_offset, window)) {
    current_ifd_offset_ = 0;
    return;
  }
  const uint32_t entries = entry_count_;
  const uint64_t ifd_size = 12 * uint64_t{entries} + 6;
  // An array stored behind the entries is counted as part of the file.
  const uint64_t entries_end = uint64_t{ifd_offset} + 12 * uint64_t{entries};
  bool cut_short = false;
  for (uint32_t i = 0; i < entries && !cut_short; ++i) {
    const std::optional<IfdEntry> entry = EntryAt(window, i);
    if (!entry) {
      cut_short = true;  // the directory runs past the window: it ends here
      break;
    }
    switch (entry->tag) {
      case kTagMake:
        if (MatchAsciiTag(base, entry->value, entry->count, 5, {"Canon"})) canon_ = true;
        extent_ += OutOfLineSize(*entry);
        break;
      case kTagStripOffsets: {
        // Each main directory with strips starts the sum again; a sub-IFD adds to it.
        if (kind == IfdKind::kMain) extent_ = 0;
        uint32_t last = entry->value;
        if (entry->count > 1) {
          last = ReadArrayTail(base, entry->value, entry->count);
          if (last == 0) {
            cut_short = true;
            break;
          }
          extent_ += last;
          if (entry->value > entries_end) extent_ += 4 * uint64_t{entry->count};
          if (ifd_offset > last) extent_ += ifd_size;
        } else {
          extent_ += entry->value;
        }
        last_strip_offset_ = last;
        extent_ += OutOfLineSize(*entry);
        break;
      }
      case kTagStripByteCounts: {
        uint32_t last = entry->value;
        if (entry->count > 1) {
          last = ReadArrayTail(base, entry->value, entry->count);
          if (last == 0) {
            cut_short = true;
            break;
          }
          extent_ += last;
          if (entry->value > entries_end) extent_ += 4 * uint64_t{entry->count};
        } else {
          extent_ += entry->value;
        }
        extent_ += ifd_size;
        last_strip_byte_count_ = last;
        extent_ += OutOfLineSize(*entry);
        break;
      }
      case kTagSubIfds:
        TakeSubIfdOffsets(base, *entry, sub_ifd_offsets_);
        break;
      default:
        extent_ += OutOfLineSize(*entry);
        break;
    }
  }
  current_ifd_offset_ =
      entries != 0 && !cut_short ? ValueBehindEntries(window, entries).value_or(0) : 0;
  if (canon_) {
    extent_ += MeasureEmbeddedJpeg(base + last_strip_offset_ + last_strip_byte_count_);
  }
}

uint64_t TiffHandler::MeasureEmbeddedJpeg(uint64_t position) {
  if (jpeg_position_ == position) return jpeg_extent_;
  jpeg_position_ = position;
  jpeg_extent_ = 0;
  if (source_ == nullptr || sector_size_ == 0) return 0;

  ScanWindow window = MakeWindow();
  uint64_t window_offset = uint64_t{sector_size_} * (position / sector_size_);
  if (!SeekTo(*source_, window_offset) || !window.Load(*source_, window_offset)) return 0;
  const size_t end = window.data_bytes();
  const size_t at = static_cast<size_t>(position - window_offset);
  // The stream must start within 300 bytes, two bytes behind the strip's end.
  size_t pos = 0;
  bool found_start = false;
  for (size_t k = 2; k < 302 && at + k + 1 < end; ++k) {
    if (window.data()[at + k] == 0xFF && window.data()[at + k + 1] == 0xD8) {
      pos = at + k + 1;
      found_start = true;
      break;
    }
  }
  if (!found_start) return 0;

  bool previous_was_ff = false;  // the last byte of the previous window
  for (;;) {
    const uint8_t* data = window.data();
    if (previous_was_ff && pos == 0 && data[0] == 0xD9) {
      jpeg_extent_ = CapLength(window_offset + 1 - position);
      return jpeg_extent_;
    }
    while (pos + 1 < end) {
      const void* ff = std::memchr(data + pos, 0xFF, end - 1 - pos);
      if (ff == nullptr) {
        pos = end - 1;
        break;
      }
      pos = static_cast<size_t>(static_cast<const uint8_t*>(ff) - data);
      if (data[pos + 1] == 0xD9) {
        jpeg_extent_ = CapLength(window_offset + pos + 2 - position);
        return jpeg_extent_;
      }
      ++pos;
    }
    previous_was_ff = data[end - 1] == 0xFF;
    const uint64_t window_end = window_offset + end;
    // Past the cap every outcome is the cap, so the search reads no further.
    if (window_end - position >= kMaxLength) {
      jpeg_extent_ = kMaxLength;
      return jpeg_extent_;
    }
    if (!window.Load(*source_, window_end)) {
      jpeg_extent_ = window_end - position;
      return jpeg_extent_;
    }
    window_offset = window_end;
    pos = 0;
  }
}

}  // namespace pictavo
