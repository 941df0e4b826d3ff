#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pictavo::samples {

struct GifOptions {
  int width = 40;
  int height = 30;
  // "GIF89a" when true (needed for extensions), "GIF87a" otherwise.
  bool gif89 = true;
  // Colour table size exponent: tables of 2^(bits) entries, bits 1 to 8.
  int colour_bits = 8;
  bool global_colour_table = true;
  // Give each frame its own local colour table.
  bool local_colour_tables = false;
  bool interlaced = false;
  int frames = 1;
  // A comment extension before the first image (empty: none). Long comments span sub-blocks.
  std::string comment{};
  // An application extension ("NETSCAPE2.0" looping) before the first image.
  bool looping = false;
  uint32_t seed = 1;
};

// Encodes a real GIF with giflib: seeded noise in a gradient, so that the LZW data runs over
// several sub-blocks.
std::vector<uint8_t> EncodeGif(const GifOptions& options);

}  // namespace pictavo::samples
