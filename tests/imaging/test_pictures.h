#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "imaging/image_decoder.h"
#include "samples/jpeg_sample.h"
#include "samples/modern_picture_samples.h"
#include "samples/picture_samples.h"

namespace pictavo::testing {

// One sample of every decodable format, made with the real encoders.
struct NamedSample {
  std::string name;
  ImageFormat format;
  std::vector<uint8_t> bytes;
  int width;
  int height;
  // Mean absolute difference per channel allowed against the test pattern (lossy codecs and
  // reduced palettes); -1 when the pixels are not compared.
  double tolerance;
};

inline std::vector<NamedSample> AllSamples() {
  using namespace pictavo::samples::pattern;
  using pictavo::samples::EncodeJpeg;
  std::vector<NamedSample> s;
  s.push_back({"jpeg", ImageFormat::kJpeg, EncodeJpeg({.width = 120, .height = 80, .quality = 95}),
               120, 80, -1});
  s.push_back({"jpeg_progressive", ImageFormat::kJpeg,
               EncodeJpeg({.width = 90, .height = 70, .progressive = true}), 90, 70, -1});
  s.push_back({"png_rgb", ImageFormat::kPng, EncodePng({}), 64, 48, 0});
  s.push_back(
      {"png_rgba_interlaced", ImageFormat::kPng,
       EncodePng(
           {.width = 33, .height = 29, .colour = PngOptions::Colour::kRgba, .interlaced = true}),
       33, 29, -1});
  s.push_back({"png_gray16", ImageFormat::kPng,
               EncodePng({.colour = PngOptions::Colour::kGray, .sixteen_bit = true}), 64, 48, -1});
  s.push_back({"png_palette", ImageFormat::kPng,
               EncodePng({.colour = PngOptions::Colour::kPalette}), 64, 48, 16});
  s.push_back({"gif", ImageFormat::kGif, EncodeGif({}), 64, 48, 16});
  s.push_back({"gif_interlaced_animated", ImageFormat::kGif,
               EncodeGif({.width = 50, .height = 37, .interlaced = true, .frames = 3}), 50, 37,
               16});
  s.push_back({"tiff", ImageFormat::kTiff, EncodeTiff({}), 64, 48, 0});
  s.push_back({"tiff_lzw_bigendian", ImageFormat::kTiff,
               EncodeTiff({.compression = TiffOptions::Compression::kLzw, .big_endian = true}), 64,
               48, 0});
  s.push_back({"tiff_deflate_tiled", ImageFormat::kTiff,
               EncodeTiff({.width = 40,
                           .height = 36,
                           .compression = TiffOptions::Compression::kDeflate,
                           .tiled = true}),
               40, 36, 0});
  s.push_back({"tiff_jpeg", ImageFormat::kTiff,
               EncodeTiff({.compression = TiffOptions::Compression::kJpeg, .rows_per_strip = 16}),
               64, 48, 8});
  s.push_back({"j2k", ImageFormat::kJ2k, EncodeJpeg2000({}), 64, 48, 0});
  s.push_back({"jp2", ImageFormat::kJp2, EncodeJpeg2000({.width = 70, .height = 50, .jp2 = true}),
               70, 50, 0});
  s.push_back({"bmp24", ImageFormat::kBmp, EncodeBmp({}), 64, 48, 0});
  s.push_back(
      {"bmp32_topdown", ImageFormat::kBmp, EncodeBmp({.bits = 32, .top_down = true}), 64, 48, 0});
  s.push_back({"bmp32_bitfields", ImageFormat::kBmp, EncodeBmp({.bits = 32, .bitfields = true}), 64,
               48, 0});
  s.push_back({"bmp16_565", ImageFormat::kBmp,
               EncodeBmp({.width = 63, .bits = 16, .bitfields = true}), 63, 48, 4});
  s.push_back({"bmp16_555", ImageFormat::kBmp, EncodeBmp({.width = 31, .bits = 16}), 31, 48, 4});
  s.push_back({"bmp8", ImageFormat::kBmp, EncodeBmp({.width = 61, .bits = 8}), 61, 48, 16});
  s.push_back({"bmp4", ImageFormat::kBmp, EncodeBmp({.width = 35, .bits = 4}), 35, 48, -1});
  s.push_back({"bmp1", ImageFormat::kBmp, EncodeBmp({.width = 37, .bits = 1}), 37, 48, -1});
  s.push_back({"dng", ImageFormat::kRaw, EncodeDng({}), 256, 192, -1});
  s.push_back({"heic", ImageFormat::kHeif, EncodeHeif({}), 64, 48, 12});
  s.push_back(
      {"avif_alpha", ImageFormat::kAvif, EncodeHeif({.av1 = true, .alpha = true}), 64, 48, -1});
  s.push_back({"webp", ImageFormat::kWebp, EncodeWebp({}), 64, 48, 12});
  s.push_back({"webp_lossless_alpha", ImageFormat::kWebp,
               EncodeWebp({.width = 40, .height = 30, .lossless = true, .alpha = true}), 40, 30,
               -1});
  s.push_back({"webp_animated", ImageFormat::kWebp, EncodeWebp({.lossless = true, .frames = 3}), 64,
               48, 0});
  s.push_back({"dng_phone", ImageFormat::kRaw,
               BuildPhoneDng({.preview = EncodeJpeg({.width = 96, .height = 64}),
                              .preview_width = 96,
                              .preview_height = 64,
                              .raw_width = 96,
                              .raw_height = 64}),
               96, 64, -1});
  return s;
}

// Mean absolute difference per channel between a picture and the test pattern.
inline double DifferenceFromPattern(const Picture& p, uint32_t seed = 1) {
  double total = 0;
  for (int y = 0; y < p.height; ++y) {
    for (int x = 0; x < p.width; ++x) {
      const uint32_t a = p.At(x, y),
                     b = samples::pattern::PatternPixel(x, y, p.width, p.height, seed);
      for (int shift : {0, 8, 16}) {
        total +=
            std::abs(static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF));
      }
    }
  }
  return total / (3.0 * p.width * p.height);
}

}  // namespace pictavo::testing
