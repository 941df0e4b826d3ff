#include "formats/jpeg2000_handlers.h"

#include <cstring>

#include "formats/byte_reader.h"
#include "formats/exact_measure.h"
#include "formats/scan_window.h"

namespace pictavo {
namespace {

constexpr uint16_t kStartOfData = 0xFF93;

constexpr uint8_t kJp2Signature[Jp2Handler::kSignatureLength] = {
    0x00, 0x00, 0x00, 0x0C, 0x6A, 0x50, 0x20, 0x20, 0x0D, 0x0A, 0x87, 0x0A,
    0x00, 0x00, 0x00, 0x14, 0x66, 0x74, 0x79, 0x70, 0x6A, 0x70, 0x32};

}  // namespace

bool Jpeg2000CodestreamHandler::MatchSignature(const uint8_t* sector_head) {
  ResetCandidate();
  return sector_head[0] == 0xFF && sector_head[1] == 0x4F;
}

bool Jp2Handler::MatchSignature(const uint8_t* sector_head) {
  ResetCandidate();
  if (exact_ends()) {
    // The file-type box may list compatible brands, which makes it longer than 20 bytes.
    return std::memcmp(sector_head, kJp2Signature, 12) == 0 && LoadBe32(sector_head + 12) >= 20 &&
           std::memcmp(sector_head + 16, kJp2Signature + 16, kSignatureLength - 16) == 0;
  }
  return std::memcmp(sector_head, kJp2Signature, kSignatureLength) == 0;
}

bool Jp2Handler::Verify(SectorSource& source, uint64_t offset) {
  whole_length_ = 0;
  if (exact_ends()) whole_length_ = MeasureJp2Whole(source, offset, nullptr);
  return Jpeg2000HandlerBase::Verify(source, offset) || whole_length_ != 0;
}

uint64_t Jp2Handler::MeasureLength(SectorSource& source, uint64_t offset) {
  if (whole_length_ != 0) return whole_length_;
  return Jpeg2000HandlerBase::MeasureLength(source, offset);
}

uint64_t Jp2Handler::CodestreamStart(const uint8_t* first_window) const {
  // The first 0x4F, 0xFF pair in the first sector (the second byte of the start-of-codestream
  // marker and the first of the next marker); without one, the walk starts at the sector's last
  // byte. The signature's own bytes hold no such pair, so the start is never before byte 0.
  for (uint32_t p = 1; p < sector_size_; ++p) {
    if (first_window[p] == 0x4F && first_window[p + 1] == 0xFF) return p - 1;
  }
  return sector_size_ - 1;
}

bool Jpeg2000HandlerBase::Verify(SectorSource& source, uint64_t offset) {
  candidate_start_ = offset;
  data_start_ = 0;
  sector_size_ = GetSectorSize(source);
  if (sector_size_ == 0) return false;

  ScanWindow window(sector_size_, kWindowSectors);
  if (!window.Load(source, offset)) return false;
  data_start_ = CodestreamStart(window.data());
  // Marker segments are skipped by their length words; a marker directly followed by another
  // marker has no segment. The walk ends at the start-of-data marker, a zero marker word or the
  // first read that fails.
  return WalkMarkers(
      source, window, sector_size_, data_start_, kStartOfData,
      [](uint16_t, uint16_t next) { return next >= 0xFF00 ? 2 : uint64_t{next} + 2; },
      &data_start_);
}

uint64_t Jpeg2000HandlerBase::MeasureLength(SectorSource& source, uint64_t offset) {
  measured_length_ = 0;
  if (sector_size_ == 0) return 0;
  measured_length_ =
      SearchEndPairFrom(source, offset, sector_size_, data_start_, SearchSkip(), kMaxLength);
  return measured_length_;
}

}  // namespace pictavo
