#include "formats/jpeg_handler.h"

#include <cstring>

#include "formats/byte_reader.h"
#include "formats/scan_window.h"

namespace pictavo {
namespace {

constexpr uint16_t kStartOfScan = 0xFFDA;

}  // namespace

bool JpegHandler::MatchSignature(const uint8_t* sector_head) {
  measured_length_ = 0;
  return sector_head[0] == 0xFF && sector_head[1] == 0xD8;
}

bool JpegHandler::Verify(SectorSource& source, uint64_t offset) {
  candidate_start_ = offset;
  scan_start_ = 0;
  sector_size_ = GetSectorSize(source);
  if (sector_size_ == 0) return false;

  ScanWindow window(sector_size_, kWindowSectors);
  if (!window.Load(source, offset)) return false;
  uint64_t pos = 2;
  scan_start_ = 2;
  // Segments are skipped by their length words only; nothing else is checked, so an embedded
  // thumbnail's markers inside APPn are never seen. Every step advances by at least two bytes,
  // and the walk ends at SOS, a zero marker word, or the first read that fails.
  for (;;) {
    if (window.data_bytes() < 4 || pos > window.data_bytes() - 4) {
      const uint64_t whole_sectors = pos / sector_size_;
      pos %= sector_size_;
      if (!window.Load(source, window.offset() + whole_sectors * sector_size_)) return false;
      continue;
    }
    const uint16_t marker = LoadBe16(window.data() + pos);
    const uint16_t length = LoadBe16(window.data() + pos + 2);
    if (marker == kStartOfScan) return true;
    pos += uint64_t{length} + 2;
    scan_start_ += uint64_t{length} + 2;
    if (marker == 0x0000) return false;
  }
}

uint64_t JpegHandler::MeasureLength(SectorSource& source, uint64_t offset) {
  measured_length_ = 0;
  if (sector_size_ == 0) return 0;
  ScanWindow window(sector_size_, kWindowSectors);
  if (!window.Load(source, offset + uint64_t{sector_size_} * (scan_start_ / sector_size_))) {
    return 0;
  }
  size_t pos = scan_start_ % sector_size_ + 2;
  bool previous_was_ff = false;  // the last byte of the previous window
  uint64_t length = 0;
  for (;;) {
    const uint8_t* data = window.data();
    const size_t end = window.data_bytes();
    const uint64_t window_rel = window.offset() - offset;
    if (previous_was_ff && pos == 0 && data[0] == 0xD9) {
      length = window_rel + 1;
      break;
    }
    bool found = false;
    while (pos + 1 < end) {
      const void* ff = std::memchr(data + pos, 0xFF, end - 1 - pos);
      if (ff == nullptr) {
        pos = end - 1;
        break;
      }
      pos = static_cast<size_t>(static_cast<const uint8_t*>(ff) - data);
      if (data[pos + 1] == 0xD9) {
        found = true;
        break;
      }
      ++pos;
    }
    if (found) {
      length = window_rel + pos + 2;
      break;
    }
    previous_was_ff = end > 0 && data[end - 1] == 0xFF;
    const uint64_t window_end_rel = window_rel + end;
    // Past the cap every outcome is the cap, so the search need not read any further.
    if (window_end_rel >= kMaxLength) {
      length = kMaxLength;
      break;
    }
    if (!window.Load(source, window.offset() + end)) {
      length = window_end_rel;
      break;
    }
    pos = 0;
  }
  if (length > kMaxLength) length = kMaxLength;
  measured_length_ = length;
  return length;
}

}  // namespace pictavo
