#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pictavo::samples {

struct PngOptions {
  int width = 64;
  int height = 48;
  enum class Colour { kRgb, kRgba, kPalette, kGray } colour = Colour::kRgb;
  bool interlaced = false;
  // Text written as tEXt chunks before the image data ("Comment" keyword).
  std::vector<std::string> comments{};
  // A private ancillary chunk ("prVt") of this many data bytes before the image data (0: none).
  uint32_t private_chunk_bytes = 0;
  // Largest IDAT chunk libpng writes; 0 keeps libpng's default of 8,192 bytes.
  uint32_t idat_size = 0;
  uint32_t seed = 1;
};

// Encodes a real PNG with libpng: a gradient with seeded noise, so that the image data does not
// compress to almost nothing.
std::vector<uint8_t> EncodePng(const PngOptions& options);

// Appends a chunk (length, name, data, CRC) to `png`.
void AppendPngChunk(std::vector<uint8_t>& png, const char name[4],
                    const std::vector<uint8_t>& data);

}  // namespace pictavo::samples
