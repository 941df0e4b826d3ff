#include "formats/jpeg_handler.h"

#include <cstring>

#include "formats/byte_reader.h"
#include "formats/exact_measure.h"
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
  scan_start_ = 2;
  // Segments are skipped by their length words only; nothing else is checked, so an embedded
  // thumbnail's markers inside APPn are never seen. The walk ends at SOS, a zero marker word, or
  // the first read that fails.
  return WalkMarkers(
      source, window, sector_size_, 2, kStartOfScan,
      [](uint16_t, uint16_t length) { return uint64_t{length} + 2; }, &scan_start_);
}

uint64_t JpegHandler::MeasureLength(SectorSource& source, uint64_t offset) {
  measured_length_ = 0;
  if (sector_size_ == 0) return 0;
  measured_length_ = SearchEndPairFrom(source, offset, sector_size_, scan_start_, 2, kMaxLength);
  // The images and the video a multi-part file keeps behind its first image, and a Canon recipe
  // trailer behind them all.
  if (exact_ends() && measured_length_ < kMaxLength) {
    measured_length_ = MeasureJpegWhole(source, offset, measured_length_);
    if (measured_length_ != 0) {
      measured_length_ += MeasureCanonTrailer(source, offset + measured_length_);
    }
  }
  return measured_length_;
}

}  // namespace pictavo
