#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "formats/byte_reader.h"
#include "platform/sector_source.h"

namespace pictavo {

// The read buffer of a chain walk (RIFF chunks, QuickTime atoms, MPEG packets): a number of
// sectors plus two spare bytes, zero-filled before every read so that a short read leaves zeros
// behind the data. Positions are absolute offsets on the medium.
//
// Each step of such a walk reads a fresh window at a sector chosen from the next item's offset and
// then looks at a few bytes of that item. When those bytes were already delivered by the window in
// hand, the read would succeed and return the very same bytes, so `Reach` skips it: a file of tiny
// chunks then costs one read per window instead of one per chunk, and the lengths stay the same.
class ChainWindow {
 public:
  ChainWindow(uint16_t sector_size, uint32_t sectors)
      : data_bytes_(static_cast<uint32_t>(sector_size) * sectors), buffer_(data_bytes_ + 2) {}

  // Zero-fills the buffer and reads one window at `offset`; true when at least one byte arrived.
  bool Load(SectorSource& source, uint64_t offset) {
    std::memset(buffer_.data(), 0, buffer_.size());
    offset_ = offset;
    delivered_ = 0;
    return source.ReadAt(offset, data_bytes_, buffer_.data(), ReadRule::kData, &delivered_) &&
           delivered_ > 0;
  }

  // Makes the `count` bytes at `item` readable as if a window had just been read at
  // `read_offset`: nothing is read when the window in hand delivered them, otherwise the window
  // is loaded at `read_offset`. False when that read fails.
  bool Reach(SectorSource& source, uint64_t read_offset, uint64_t item, uint32_t count) {
    if (Delivered(item, count)) return true;
    return Load(source, read_offset);
  }

  // True when the last read delivered every byte of [offset, offset + count).
  bool Delivered(uint64_t offset, uint64_t count) const {
    return offset >= offset_ && count <= delivered_ && offset - offset_ <= delivered_ - count;
  }

  // Values in the buffer; bytes outside it read as zero, like the zero-filled tail of a short read.
  uint32_t U32At(uint64_t offset, Endian order) const { return Fetch(offset, 4, order); }
  uint16_t U16At(uint64_t offset, Endian order) const {
    return static_cast<uint16_t>(Fetch(offset, 2, order));
  }
  // Copies bytes at `offset` into `out`.
  void CopyOut(uint64_t offset, std::span<uint8_t> out) const {
    for (size_t i = 0; i < out.size(); ++i) {
      const uint64_t at = offset + i;
      out[i] = at >= offset_ && at - offset_ < buffer_.size() ? buffer_[at - offset_] : 0;
    }
  }
  bool Matches(uint64_t offset, std::string_view magic) const {
    if (offset < offset_) return false;
    return Reader().Matches(offset - offset_, magic);
  }

  uint64_t offset() const { return offset_; }
  uint32_t data_bytes() const { return data_bytes_; }
  uint32_t delivered() const { return delivered_; }

 private:
  ByteReader Reader(Endian order = Endian::kBig) const {
    return ByteReader(std::span<const uint8_t>(buffer_.data(), buffer_.size()), order);
  }
  uint32_t Fetch(uint64_t offset, uint32_t count, Endian order) const {
    if (offset < offset_ || offset - offset_ > buffer_.size()) return 0;
    const size_t pos = static_cast<size_t>(offset - offset_);
    const ByteReader reader = Reader(order);
    if (count == 2) return reader.U16At(pos).value_or(0);
    return reader.U32At(pos).value_or(0);
  }

  uint32_t data_bytes_;
  std::vector<uint8_t> buffer_;
  uint64_t offset_ = 0;
  uint32_t delivered_ = 0;
};

}  // namespace pictavo
