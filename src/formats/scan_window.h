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

// Looks for the byte pair 0xFF, 0xD9 from `pos` in the loaded `window`, then window after
// consecutive window, the pair also counted when it straddles two windows. Returns the length
// from `file_offset` to the end of the pair; when a read fails first, the end of the last window
// read; never more than `cap` (past the cap every outcome is the cap, so no further reads).
inline uint64_t SearchEndPair(SectorSource& source, uint64_t file_offset, ScanWindow& window,
                              size_t pos, uint64_t cap) {
  bool previous_was_ff = false;  // the last byte of the previous window
  uint64_t length = 0;
  for (;;) {
    const uint8_t* data = window.data();
    const size_t end = window.data_bytes();
    const uint64_t window_rel = window.offset() - file_offset;
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
    if (window_end_rel >= cap) {
      length = cap;
      break;
    }
    if (!window.Load(source, window.offset() + end)) {
      length = window_end_rel;
      break;
    }
    pos = 0;
  }
  return length > cap ? cap : length;
}

}  // namespace pictavo
