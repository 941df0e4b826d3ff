#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pictavo::samples {

struct Jpeg2000Options {
  int width = 64;
  int height = 48;
  // 1 (grey) or 3 (RGB).
  int components = 3;
  // A JP2 file (boxes around the codestream) instead of a bare codestream.
  bool jp2 = false;
  // Tiles of this size in both directions (0: one tile).
  int tile_size = 0;
  // Text of the codestream's comment segment (empty: OpenJPEG's own).
  std::string comment{};
  uint32_t seed = 1;
};

// Encodes a real JPEG 2000 codestream or JP2 file with OpenJPEG: a gradient with seeded noise.
std::vector<uint8_t> EncodeJpeg2000(const Jpeg2000Options& options);

}  // namespace pictavo::samples
