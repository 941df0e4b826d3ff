#include "formats/crw_handler.h"

#include <algorithm>
#include <cstring>

#include "formats/byte_reader.h"
#include "formats/exact_measure.h"

namespace pictavo {
namespace {

// The raw-data record's 32-bit offset 0 followed by the little-endian type 0x2007 of the next
// record, the embedded JPEG.
constexpr uint8_t kDirectoryPattern[] = {0x00, 0x00, 0x00, 0x00, 0x07, 0x20};
constexpr uint16_t kRawDataType = 0x2005;
constexpr uint64_t kHeapStart = 26;
constexpr uint32_t kRecordSize = 10;

}  // namespace

bool CrwHandler::MatchSignature(const uint8_t* sector_head) {
  length_ = 0;
  if (std::memcmp(sector_head + 6, "HEAPCCDR", 8) != 0) return false;
  if (sector_head[0] == 'I' && sector_head[1] == 'I') {
    little_endian_ = true;
    return true;
  }
  if (sector_head[0] == 'M' && sector_head[1] == 'M') {
    little_endian_ = false;
    return true;
  }
  return false;
}

bool CrwHandler::Verify(SectorSource& source, uint64_t offset) {
  sector_size_ = GetSectorSize(source);
  length_ = sector_size_ == 0 ? 0 : SearchDirectory(source, offset);
  return length_ != 0;
}

uint64_t CrwHandler::MeasureLength(SectorSource& source, uint64_t offset) {
  if (exact_ends() && length_ != 0) return length_ + MeasureCanonTrailer(source, offset + length_);
  return length_;
}

uint32_t CrwHandler::Value(const uint8_t* bytes, int width) const {
  if (width == 2) return little_endian_ ? LoadLe16(bytes) : LoadBe16(bytes);
  return little_endian_ ? LoadLe32(bytes) : LoadBe32(bytes);
}

bool CrwHandler::ReadFileBytes(SectorSource& source, uint64_t offset, uint64_t at, uint32_t count,
                               uint8_t* out) {
  if (at >= window_at_ && at - window_at_ <= window_data_ - count) {
    std::memcpy(out, window_.data() + (at - window_at_), count);
    return true;
  }
  const uint64_t first_sector = at / sector_size_;
  const uint64_t last_sector = (at + count - 1) / sector_size_;
  std::vector<uint8_t> sectors((last_sector - first_sector + 1) * sector_size_, 0);
  uint32_t delivered = 0;
  source.ReadAt(offset + first_sector * sector_size_, static_cast<uint32_t>(sectors.size()),
                sectors.data(), ReadRule::kData, &delivered);
  const uint64_t skip = at - first_sector * sector_size_;
  if (delivered < skip + count) return false;
  std::memcpy(out, sectors.data() + skip, count);
  return true;
}

uint64_t CrwHandler::SearchDirectory(SectorSource& source, uint64_t offset) {
  window_data_ = kWindowSectors * sector_size_;
  window_.assign(window_data_ + 2, 0);
  auto load = [&](uint64_t at) {
    std::fill(window_.begin(), window_.end(), 0);
    window_at_ = at;
    return ReadAt(source, offset + at, window_data_, window_.data());
  };
  if (!load(0)) return 0;

  // Start positions 0 to window - 7 are tested: a pattern that begins in the last six bytes of
  // a window is not found there, nor in the next window. There is no other bound: a header with
  // no directory behind it is searched to the end of the medium, where the reads fail.
  const uint32_t last_start = window_data_ - 7;
  uint64_t match = 0;
  for (bool found = false; !found;) {
    // The pattern's 0x07 at start + 4, found quickly, then the rest compared.
    const uint8_t* data = window_.data();
    for (const uint8_t* p = data + 4; p <= data + last_start + 4;) {
      p = static_cast<const uint8_t*>(std::memchr(p, 0x07, data + last_start + 5 - p));
      if (p == nullptr) break;
      if (std::memcmp(p - 4, kDirectoryPattern, sizeof(kDirectoryPattern)) == 0) {
        match = window_at_ + static_cast<uint64_t>(p - 4 - data);
        found = true;
        break;
      }
      ++p;
    }
    if (!found && !load(window_at_ + window_data_)) return 0;
  }

  // The raw-data record's type, stored little-endian whatever the file's byte order, right in
  // front of the pattern; the record count in front of it (the search takes the raw-data record
  // for the directory's first). These bytes come from the medium even when the match lies at the
  // very start of a window.
  uint8_t record_head[4];
  if (match < 8 || !ReadFileBytes(source, offset, match - 8, 4, record_head)) return 0;
  if (LoadLe16(record_head + 2) != kRawDataType) return 0;
  const uint32_t records = Value(record_head, 2);
  uint64_t length = match - 6;

  // The directory's last value, its offset from the heap start, lies behind the n records and
  // is read from wherever it lies, also beyond the current window.
  const uint64_t trailer_at = match - 6 + uint64_t{kRecordSize} * records;
  uint8_t trailer[4];
  if (match >= kHeapStart + 8 && ReadFileBytes(source, offset, trailer_at, 4, trailer) &&
      Value(trailer, 4) == match - 8 - kHeapStart) {
    length = trailer_at + 4;
  }
  return std::min(length, kMaxLength);
}

}  // namespace pictavo
