#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/format_handler.h"

namespace pictavo {

// The read buffer of a structure walk: a number of sectors plus two spare bytes, zero-filled
// before every read so that a short read leaves zeros behind the data.
class ScanWindow {
 public:
  ScanWindow(uint16_t sector_size, uint32_t sectors)
      : data_bytes_(static_cast<uint32_t>(sector_size) * sectors), buffer_(data_bytes_ + 2) {}

  // Zero-fills the buffer and reads one window's worth of data at `offset` (data rule).
  bool Load(SectorSource& source, uint64_t offset) {
    std::memset(buffer_.data(), 0, buffer_.size());
    offset_ = offset;
    return source.ReadAt(offset, data_bytes_, buffer_.data(), ReadRule::kData);
  }

  uint64_t offset() const { return offset_; }
  uint32_t data_bytes() const { return data_bytes_; }
  const uint8_t* data() const { return buffer_.data(); }
  // Whole buffer including the two spare bytes.
  size_t buffer_bytes() const { return buffer_.size(); }

 private:
  uint32_t data_bytes_;
  std::vector<uint8_t> buffer_;
  uint64_t offset_ = 0;
};

}  // namespace pictavo
