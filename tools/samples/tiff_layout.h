#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace pictavo::samples {

// One directory entry as it is written: the value field is always written as a 32-bit number in
// the layout's byte order.
struct TiffField {
  uint16_t tag = 0;
  uint16_t type = 0;
  uint32_t count = 0;
  uint32_t value = 0;
};

// Bytes of a directory with `entries` entries: count, entries, next-IFD offset.
constexpr uint32_t TiffIfdSize(uint32_t entries) { return 12 * entries + 6; }

// Lays out TIFF-structured files byte by byte: a header, directories, arrays and texts at the
// offsets the caller chooses, so that tests can state the exact lengths the recognisers must
// measure. Everything not written stays zero.
class TiffLayout {
 public:
  // A standard header ("II" with 42 little-endian or "MM" with 42 big-endian) naming the first
  // directory at `first_ifd`.
  TiffLayout(bool little_endian, uint32_t first_ifd);

  // Replaces bytes 0 to 3 (the byte-order mark and version word) with other header bytes.
  void SetMagic(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3);
  void SetFirstIfd(uint32_t first_ifd) { Put32(4, first_ifd); }

  void Put8(uint32_t offset, uint8_t value);
  void Put16(uint32_t offset, uint16_t value);
  void Put32(uint32_t offset, uint32_t value);
  // Writes `text` followed by a zero byte.
  void PutText(uint32_t offset, std::string_view text);
  void PutBytes(uint32_t offset, const std::vector<uint8_t>& bytes);
  void PutArray(uint32_t offset, const std::vector<uint32_t>& values);
  // Writes a directory with `fields` in the given order and the next-IFD offset; returns its size.
  uint32_t PutIfd(uint32_t offset, const std::vector<TiffField>& fields, uint32_t next_ifd);
  // Grows the file to at least `size` bytes.
  void Extend(uint32_t size);

  bool little_endian() const { return little_endian_; }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  void Reserve(uint32_t end);

  bool little_endian_;
  std::vector<uint8_t> bytes_;
};

}  // namespace pictavo::samples
