#pragma once

#include <cstdint>
#include <vector>

namespace pictavo::samples::pattern {

// The phone and modern-camera picture formats, made with the real encoders (libheif with x265 or
// aom, libwebp) or laid out by hand around real JPEGs (CR3, phone DNG), showing the test pattern
// of picture_samples.h where the encoder takes pixels.

struct HeifOptions {
  int width = 64;
  int height = 48;
  bool av1 = false;  // AVIF through aom instead of HEIC through x265
  // EXIF-style orientation written as the file's irot/imir transforms (1: none).
  int orientation = 1;
  bool alpha = false;
  bool ten_bit = false;
  // Longest side of a thumbnail item (0: none).
  int thumbnail = 0;
  int quality = 90;
  uint32_t seed = 1;
};
// Empty when the library has no encoder for the codec.
std::vector<uint8_t> EncodeHeif(const HeifOptions& options);

struct WebpOptions {
  int width = 64;
  int height = 48;
  bool lossless = false;
  bool alpha = false;
  int frames = 1;  // more than one: an animation (through libwebpmux)
  uint32_t seed = 1;
};
std::vector<uint8_t> EncodeWebp(const WebpOptions& options);

// The ISO media layout of a Canon CR3 with its JPEGs: `full` as the first track's sample in
// `mdat`, `preview` in the PRVW `uuid` box, `thumbnail` in the THMB box of the moov's Canon
// `uuid` box (each may be empty), and the orientation in the CMT1 TIFF directory. A second track
// claims `raw_bytes` of raw data after the full-size JPEG (not written when the file is cut).
struct Cr3Layout {
  std::vector<uint8_t> full;
  std::vector<uint8_t> preview;
  std::vector<uint8_t> thumbnail;
  int orientation = 1;
  uint32_t raw_bytes = 4096;
};
std::vector<uint8_t> BuildCr3(const Cr3Layout& layout);

// A phone-style DNG: IFD0 a JPEG preview (NewSubFileType 1, old-style JPEG compression, YCbCr)
// with DNGVersion, Make and Orientation; its SubIFD a small 16-bit colour filter array raw.
struct PhoneDngLayout {
  std::vector<uint8_t> preview;
  int preview_width = 0;
  int preview_height = 0;
  int orientation = 1;
  int raw_width = 64;
  int raw_height = 48;
};
std::vector<uint8_t> BuildPhoneDng(const PhoneDngLayout& layout);

}  // namespace pictavo::samples::pattern
