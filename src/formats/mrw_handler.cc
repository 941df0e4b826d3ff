#include "formats/mrw_handler.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "formats/byte_reader.h"

namespace pictavo {
namespace {

constexpr uint8_t kSignature[4] = {0x00, 'M', 'R', 'M'};
constexpr uint8_t kPrdName[4] = {0x00, 'P', 'R', 'D'};
constexpr uint32_t kWindowSectors = 8;

// The MRM header, read as if in one go from the candidate start: the data up to the first read
// that comes short, zeros after it. It is fetched a window at a time as the block walk moves on,
// so a header length of gigabytes costs only what the walk visits. Fields of a block that starts
// below the header length but reaches past (header length ÷ sector size + 1) sectors are read
// from the medium too.
class HeaderReader {
 public:
  // `extent`: the bytes the header occupies in whole sectors; reads do not reach past it unless a
  // block's fields do.
  HeaderReader(SectorSource& source, uint64_t start, uint32_t sector_size, uint64_t extent)
      : source_(source),
        start_(start),
        sector_size_(sector_size),
        extent_(extent),
        window_(static_cast<size_t>(sector_size) * kWindowSectors) {}

  // Reads the first window; false when not a byte of the header could be read.
  bool Open() { return Fetch(0) && delivered_ > 0; }

  // True while `pos` may still hold data; every byte from here on reads as zero otherwise.
  bool MayHoldData(uint64_t pos) const { return pos < data_end_; }

  uint8_t ByteAt(uint64_t pos) {
    if (pos >= data_end_) return 0;
    if (pos < window_start_ || pos - window_start_ >= delivered_) {
      if (!Fetch(pos - pos % sector_size_)) return 0;
      if (pos - window_start_ >= delivered_) return 0;
    }
    return window_[pos - window_start_];
  }
  uint16_t U16At(uint64_t pos) {
    return static_cast<uint16_t>((ByteAt(pos) << 8) | ByteAt(pos + 1));
  }
  uint32_t U32At(uint64_t pos) { return (uint32_t{U16At(pos)} << 16) | U16At(pos + 2); }

 private:
  // Reads the window at file-relative `pos` (a sector boundary). A read that comes short ends the
  // data there, as it would have ended a read of the whole header.
  bool Fetch(uint64_t pos) {
    if (pos >= data_end_) return false;
    const uint64_t inside = pos < extent_ ? extent_ - pos : sector_size_;
    const auto wanted = static_cast<uint32_t>(std::min<uint64_t>(window_.size(), inside));
    std::memset(window_.data(), 0, window_.size());
    window_start_ = pos;
    delivered_ = 0;
    source_.ReadAt(start_ + pos, wanted, window_.data(), ReadRule::kData, &delivered_);
    if (delivered_ < wanted) data_end_ = pos + delivered_;
    return delivered_ > 0;
  }

  SectorSource& source_;
  uint64_t start_;
  uint32_t sector_size_;
  uint64_t extent_;
  std::vector<uint8_t> window_;
  uint64_t window_start_ = 0;
  uint32_t delivered_ = 0;
  uint64_t data_end_ = UINT64_MAX;
};

}  // namespace

bool MrwHandler::MatchSignature(const uint8_t* sector_head) {
  mrm_length_ = 0;
  sensor_height_ = 0;
  sensor_width_ = 0;
  storage_ = 0;
  length_ = 0;
  if (std::memcmp(sector_head, kSignature, 4) != 0) return false;
  mrm_length_ = LoadBe32(sector_head + 4);
  return true;
}

bool MrwHandler::Verify(SectorSource& source, uint64_t offset) {
  const uint32_t sector_size = GetSectorSize(source);
  if (sector_size == 0) return false;
  HeaderReader header(source, offset, sector_size,
                      (uint64_t{mrm_length_} / sector_size + 1) * sector_size);
  if (!header.Open()) return false;
  // The first block at offset 8 is always looked at; later ones while they start below the MRM
  // length. Offsets are 64-bit, so a huge block length ends the walk instead of wrapping back.
  uint64_t block = 8;
  do {
    // All-zero bytes hold no PRD block and step 8 bytes at a time: nothing left to find.
    if (!header.MayHoldData(block)) return false;
    bool is_prd = true;
    for (uint32_t i = 0; i < 4; ++i) is_prd = is_prd && header.ByteAt(block + i) == kPrdName[i];
    if (is_prd) {
      sensor_height_ = header.U16At(block + 16);
      sensor_width_ = header.U16At(block + 18);
      storage_ = header.ByteAt(block + 26);
      return true;
    }
    block += uint64_t{header.U32At(block + 4)} + 8;
  } while (block < mrm_length_);
  return false;
}

uint64_t MrwHandler::MeasureLength(SectorSource&, uint64_t) {
  // 32-bit arithmetic throughout, as the length fields are.
  const uint32_t pixels = uint32_t{sensor_height_} * uint32_t{sensor_width_};
  uint32_t length = 0;
  if (storage_ == kPacked) {
    length = pixels * 3 / 2 + mrm_length_ + 8;
  } else if (storage_ == kUnpacked) {
    length = mrm_length_ + pixels * 2 + 8;
  }
  // Any other storage mode has no rule for the raw data's size; 0 keeps the candidate without
  // guessing, and nothing of an earlier candidate can leak into it.
  length_ = length > kMaxLength ? kMaxLength : length;
  return length_;
}

}  // namespace pictavo
