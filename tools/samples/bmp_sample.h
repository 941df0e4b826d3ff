#pragma once

#include <cstdint>
#include <vector>

namespace pictavo::samples {

struct BmpOptions {
  int32_t width = 32;
  // Negative: a top-down bitmap.
  int32_t height = 24;
  // 8 (with a 256-entry palette), 24 or 32.
  uint16_t bits_per_pixel = 24;
  // Write 0 as the declared file size, as some writers do.
  bool zero_declared_size = false;
  uint32_t seed = 1;
};

// Lays out an uncompressed Windows bitmap: 14-byte file header, 40-byte information header,
// palette for 8 bits per pixel, rows padded to four bytes.
std::vector<uint8_t> EncodeBmp(const BmpOptions& options);

}  // namespace pictavo::samples
