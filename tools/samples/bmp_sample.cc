#include "samples/bmp_sample.h"

#include <cstdlib>
#include <random>

namespace pictavo::samples {
namespace {

void PutLe(std::vector<uint8_t>& out, size_t at, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

std::vector<uint8_t> EncodeBmp(const BmpOptions& options) {
  const uint32_t width = static_cast<uint32_t>(std::abs(options.width));
  const uint32_t height = static_cast<uint32_t>(std::abs(options.height));
  const uint32_t palette_bytes = options.bits_per_pixel == 8 ? 256 * 4 : 0;
  const uint32_t row_bytes = (width * options.bits_per_pixel / 8 + 3) / 4 * 4;
  const uint32_t pixel_offset = 14 + 40 + palette_bytes;
  const uint32_t file_size = pixel_offset + row_bytes * height;
  std::vector<uint8_t> bmp(file_size, 0);
  bmp[0] = 'B';
  bmp[1] = 'M';
  PutLe(bmp, 2, options.zero_declared_size ? 0 : file_size, 4);
  PutLe(bmp, 10, pixel_offset, 4);
  PutLe(bmp, 14, 40, 4);
  PutLe(bmp, 18, static_cast<uint32_t>(options.width), 4);
  PutLe(bmp, 22, static_cast<uint32_t>(options.height), 4);
  PutLe(bmp, 26, 1, 2);
  PutLe(bmp, 28, options.bits_per_pixel, 2);
  PutLe(bmp, 34, row_bytes * height, 4);
  PutLe(bmp, 38, 2835, 4);  // 72 dpi
  PutLe(bmp, 42, 2835, 4);
  for (uint32_t i = 0; i < palette_bytes / 4; ++i) {
    bmp[54 + 4 * i] = static_cast<uint8_t>(i);
    bmp[55 + 4 * i] = static_cast<uint8_t>(255 - i);
    bmp[56 + 4 * i] = static_cast<uint8_t>(i * 3);
  }
  std::mt19937 rng(options.seed);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width * options.bits_per_pixel / 8; ++x) {
      bmp[pixel_offset + y * row_bytes + x] = static_cast<uint8_t>(x + y * 2 + rng() % 16);
    }
  }
  return bmp;
}

}  // namespace pictavo::samples
