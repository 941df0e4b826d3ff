#pragma once

#include <cstdint>
#include <vector>

namespace pictavo::samples::pattern {

// Real files of every decodable type (in their own namespace: the recognisers' samples use the
// same names for files laid out differently), made with the codec libraries (and by hand for BMP
// and DNG), all showing the same seeded test pattern so that decoders can be compared pixel by
// pixel.

// The pattern's pixel at (x, y) as 0xAARRGGBB (opaque).
uint32_t PatternPixel(int x, int y, int width, int height, uint32_t seed);

struct PngOptions {
  int width = 64;
  int height = 48;
  enum class Colour { kRgb, kRgba, kGray, kPalette } colour = Colour::kRgb;
  bool interlaced = false;
  bool sixteen_bit = false;
  uint32_t seed = 1;
};
std::vector<uint8_t> EncodePng(const PngOptions& options);

struct TiffOptions {
  int width = 64;
  int height = 48;
  enum class Compression { kNone, kLzw, kDeflate, kJpeg } compression = Compression::kNone;
  bool tiled = false;
  bool big_endian = false;
  int rows_per_strip = 8;
  uint32_t seed = 1;
};
std::vector<uint8_t> EncodeTiff(const TiffOptions& options);

struct GifOptions {
  int width = 64;
  int height = 48;
  bool interlaced = false;
  int frames = 1;
  int transparent_index = -1;
  uint32_t seed = 1;
};
// A 256-colour GIF (the pattern quantised to a 6x6x6 cube and 40 greys).
std::vector<uint8_t> EncodeGif(const GifOptions& options);

struct Jpeg2000Options {
  int width = 64;
  int height = 48;
  bool jp2 = false;  // JP2 boxes around the codestream
  int resolutions = 4;
  bool lossless = true;
  uint32_t seed = 1;
};
std::vector<uint8_t> EncodeJpeg2000(const Jpeg2000Options& options);

struct BmpOptions {
  int width = 64;
  int height = 48;
  int bits = 24;  // 1, 4, 8 (palette), 16 (555), 24, 32
  bool top_down = false;
  bool bitfields = false;  // 16 and 32 bits: BI_BITFIELDS masks (565, or 8-8-8 with alpha)
  uint32_t seed = 1;
};
std::vector<uint8_t> EncodeBmp(const BmpOptions& options);

struct DngOptions {
  int width = 256;  // sensor size; even
  int height = 192;
  uint32_t seed = 1;
};
// A minimal uncompressed DNG: one 16-bit RGGB mosaic in IFD0, the tags a raw developer needs,
// no preview.
std::vector<uint8_t> EncodeDng(const DngOptions& options);

}  // namespace pictavo::samples::pattern
