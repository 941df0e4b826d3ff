#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "engine/format_handler.h"
#include "formats/byte_reader.h"

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

// The index of the first 0xFF in data[from, end - 1) that is followed by 0xD9, or `end` when
// there is none. Compares sixteen positions at a time: in compressed data 0xFF comes every few
// hundred bytes, so stopping at each one, as memchr would, costs more than looking at them all.
inline size_t FindEndPair(const uint8_t* data, size_t from, size_t end) {
  typedef uint8_t Bytes __attribute__((vector_size(16)));
  size_t i = from;
  for (; i + 17 <= end; i += 16) {
    Bytes first;
    Bytes second;
    std::memcpy(&first, data + i, 16);
    std::memcpy(&second, data + i + 1, 16);
    const auto hits = (first == 0xFF) & (second == 0xD9);
    uint64_t halves[2];
    std::memcpy(halves, &hits, 16);
    if ((halves[0] | halves[1]) != 0) break;
  }
  for (; i + 1 < end; ++i) {
    if (data[i] == 0xFF && data[i + 1] == 0xD9) return i;
  }
  return end;
}

// Looks for the byte pair 0xFF, 0xD9 from `pos` in the loaded `window`, then window after
// consecutive window, the pair also counted when it straddles two windows. Returns the length
// from `file_offset` to the end of the pair; when a read fails first, the end of the last window
// read; never more than `cap` (past the cap every outcome is the cap, so no further reads).
//
// Windows the source holds in memory are searched where they lie, a run of them at a time: the
// first pair in a run of consecutive windows is the first pair of the run's bytes taken as one,
// so the result is the one window-by-window reading gives.
inline uint64_t SearchEndPair(SectorSource& source, uint64_t file_offset, ScanWindow& window,
                              size_t pos, uint64_t cap) {
  const size_t end = window.data_bytes();
  if (end == 0) return 0;
  constexpr uint64_t kRunBytes = 2 << 20;
  const uint64_t run_windows = std::max<uint64_t>(1, kRunBytes / end);
  bool previous_was_ff = false;  // the last byte of the previous window
  // Searches `count` bytes lying `rel` bytes into the candidate, from `from` on: the length up to
  // the end of the pair when it is there, a pair across the previous bytes included.
  const auto search = [&](const uint8_t* bytes, size_t from, uint64_t count,
                          uint64_t rel) -> std::optional<uint64_t> {
    if (previous_was_ff && from == 0 && bytes[0] == 0xD9) return std::min(rel + 1, cap);
    const size_t at = FindEndPair(bytes, from, count);
    if (at < count) return std::min(rel + at + 2, cap);
    previous_was_ff = bytes[count - 1] == 0xFF;
    return std::nullopt;
  };
  for (;;) {
    const uint64_t window_rel = window.offset() - file_offset;
    if (const auto length = search(window.data(), pos, end, window_rel)) return *length;
    uint64_t next_rel = window_rel + end;
    if (next_rel >= cap) return cap;

    while (true) {
      const uint64_t windows = std::min(run_windows, (cap - next_rel + end - 1) / end);
      const uint64_t run = windows * end;
      const uint8_t* bytes = source.Peek(file_offset + next_rel, static_cast<uint32_t>(run));
      if (bytes == nullptr) break;
      if (const auto length = search(bytes, 0, run, next_rel)) return *length;
      next_rel += run;
      if (next_rel >= cap) return cap;
    }
    if (!window.Load(source, file_offset + next_rel)) return next_rel;
    pos = 0;
  }
}

// Walks a chain of big-endian marker words from `pos` in the loaded `window`, moving the window
// on by whole sectors whenever fewer than four bytes are left in it. `advance(marker, next_word)`
// gives each step's length in bytes (at least two); `*walked` grows by every step. True at the
// marker `stop`; false at a zero marker word or when a read fails.
template <typename Advance>
bool WalkMarkers(SectorSource& source, ScanWindow& window, uint16_t sector_size, uint64_t pos,
                 uint16_t stop, Advance advance, uint64_t* walked) {
  for (;;) {
    if (window.data_bytes() < 4 || pos > window.data_bytes() - 4) {
      const uint64_t whole_sectors = pos / sector_size;
      pos %= sector_size;
      if (!window.Load(source, window.offset() + whole_sectors * sector_size)) return false;
      continue;
    }
    const uint16_t marker = LoadBe16(window.data() + pos);
    if (marker == stop) return true;
    const uint64_t step = advance(marker, LoadBe16(window.data() + pos + 2));
    pos += step;
    *walked += step;
    if (marker == 0x0000) return false;
  }
}

// The length of a candidate at `offset` whose end-pair search starts `skip` bytes after byte
// `start` of it: loads the eight sectors from the one holding `start` and searches on from there.
inline uint64_t SearchEndPairFrom(SectorSource& source, uint64_t offset, uint16_t sector_size,
                                  uint64_t start, size_t skip, uint64_t cap) {
  ScanWindow window(sector_size, 8);
  if (!window.Load(source, offset + uint64_t{sector_size} * (start / sector_size))) return 0;
  return SearchEndPair(source, offset, window, start % sector_size + skip, cap);
}

}  // namespace pictavo
