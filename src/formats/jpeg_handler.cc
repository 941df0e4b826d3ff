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
  const size_t pos = scan_start_ % sector_size_ + 2;
  const uint64_t length = SearchEndPair(source, offset, window, pos, kMaxLength);
  measured_length_ = length;
  return length;
}

}  // namespace pictavo
