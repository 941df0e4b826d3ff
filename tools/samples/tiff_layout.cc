#include "samples/tiff_layout.h"

#include <algorithm>

namespace pictavo::samples {

TiffLayout::TiffLayout(bool little_endian, uint32_t first_ifd) : little_endian_(little_endian) {
  if (little_endian) {
    SetMagic('I', 'I', 0x2A, 0x00);
  } else {
    SetMagic('M', 'M', 0x00, 0x2A);
  }
  SetFirstIfd(first_ifd);
}

void TiffLayout::SetMagic(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
  Put8(0, b0);
  Put8(1, b1);
  Put8(2, b2);
  Put8(3, b3);
}

void TiffLayout::Reserve(uint32_t end) {
  if (bytes_.size() < end) bytes_.resize(end, 0);
}

void TiffLayout::Extend(uint32_t size) { Reserve(size); }

void TiffLayout::Put8(uint32_t offset, uint8_t value) {
  Reserve(offset + 1);
  bytes_[offset] = value;
}

void TiffLayout::Put16(uint32_t offset, uint16_t value) {
  Reserve(offset + 2);
  for (uint32_t i = 0; i < 2; ++i) {
    const uint32_t shift = little_endian_ ? 8 * i : 8 * (1 - i);
    bytes_[offset + i] = static_cast<uint8_t>(value >> shift);
  }
}

void TiffLayout::Put32(uint32_t offset, uint32_t value) {
  Reserve(offset + 4);
  for (uint32_t i = 0; i < 4; ++i) {
    const uint32_t shift = little_endian_ ? 8 * i : 8 * (3 - i);
    bytes_[offset + i] = static_cast<uint8_t>(value >> shift);
  }
}

void TiffLayout::PutText(uint32_t offset, std::string_view text) {
  Reserve(offset + static_cast<uint32_t>(text.size()) + 1);
  std::copy(text.begin(), text.end(), bytes_.begin() + offset);
  bytes_[offset + text.size()] = 0;
}

void TiffLayout::PutBytes(uint32_t offset, const std::vector<uint8_t>& bytes) {
  Reserve(offset + static_cast<uint32_t>(bytes.size()));
  std::copy(bytes.begin(), bytes.end(), bytes_.begin() + offset);
}

void TiffLayout::PutArray(uint32_t offset, const std::vector<uint32_t>& values) {
  for (size_t i = 0; i < values.size(); ++i)
    Put32(offset + 4 * static_cast<uint32_t>(i), values[i]);
}

uint32_t TiffLayout::PutIfd(uint32_t offset, const std::vector<TiffField>& fields,
                            uint32_t next_ifd) {
  const uint32_t count = static_cast<uint32_t>(fields.size());
  Put16(offset, static_cast<uint16_t>(count));
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t at = offset + 2 + 12 * i;
    Put16(at, fields[i].tag);
    Put16(at + 2, fields[i].type);
    Put32(at + 4, fields[i].count);
    Put32(at + 8, fields[i].value);
  }
  Put32(offset + 2 + 12 * count, next_ifd);
  return TiffIfdSize(count);
}

}  // namespace pictavo::samples
