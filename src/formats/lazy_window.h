#pragma once

#include <cstdint>
#include <vector>

#include "platform/sector_source.h"

namespace pictavo {

// A stretch of the medium that a structure walk sees as if it had been read whole, in one call,
// into a zero-filled buffer: the bytes of the medium up to where the data ends, zeros behind.
// It is fetched block by block, and only the blocks the walk looks at are read, so a walk over a
// 20 KB file inside a 10 MiB window costs a few KB of reading.
//
// The data ends where a read comes back short or fails (the end of the medium, or a sector that
// cannot be read); nothing at or behind that point is read again. Blocks the walk jumps over are
// never read, so an unreadable sector between two chunk heads does not hide the second one.
class LazyWindow {
 public:
  // Starts a window of `size` bytes at `offset` and reads its first block. False when not one
  // byte can be read there, as a whole read would have failed.
  bool Open(SectorSource& source, uint64_t offset, uint64_t size);

  uint64_t size() const { return size_; }

  // The byte at `pos`; 0 at and behind the end of the data and of the window.
  uint8_t At(uint64_t pos) {
    if (pos >= data_end_) return 0;
    if (pos < block_start_ || pos - block_start_ >= block_bytes_) Fetch(pos);
    // A fetch can find that the data ends before `pos`.
    return pos < data_end_ ? block_[pos - block_start_] : 0;
  }

  uint32_t Be32At(uint64_t pos) {
    return (uint32_t{At(pos)} << 24) | (uint32_t{At(pos + 1)} << 16) |
           (uint32_t{At(pos + 2)} << 8) | At(pos + 3);
  }

  // The first position in [pos, limit) whose byte is not 0, or `limit` when there is none.
  uint64_t FirstNonZero(uint64_t pos, uint64_t limit);

 private:
  // Loads the block holding `pos` (zeros behind the data).
  void Fetch(uint64_t pos);

  SectorSource* source_ = nullptr;
  uint64_t offset_ = 0;
  uint64_t size_ = 0;
  // Window positions at and behind this hold zeros.
  uint64_t data_end_ = 0;
  uint32_t block_bytes_ = 0;
  // Window position of the loaded block.
  uint64_t block_start_ = 0;
  std::vector<uint8_t> block_;
};

}  // namespace pictavo
