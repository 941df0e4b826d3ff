// Feeds arbitrary files to the decoding layer: the first byte picks a decoder (or detection by
// signature) and whether the picture is fitted to a small box, the rest is the file. Bit 0x20 of
// the first byte picks among the phone and modern-camera decoders (HEIF, AVIF, WebP, CR3), the
// low three bits among the older ones otherwise; bit 0x40 reads the date a photo was taken
// from its metadata instead. Every
// library error must come back as a failed or partial result; nothing may crash, leak or read
// outside its buffers.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

#include "imaging/image_decoder.h"
#include "results/date_taken.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  using pictavo::ImageFormat;
  static constexpr ImageFormat kFormats[] = {
      ImageFormat::kUnknown, ImageFormat::kBmp,  ImageFormat::kJpeg, ImageFormat::kPng,
      ImageFormat::kGif,     ImageFormat::kTiff, ImageFormat::kJ2k,  ImageFormat::kJp2,
  };
  static constexpr ImageFormat kModernFormats[] = {
      ImageFormat::kHeif,
      ImageFormat::kAvif,
      ImageFormat::kWebp,
      ImageFormat::kCr3,
  };
  const uint8_t selector = data[0];
  const std::span<const uint8_t> file(data + 1, size - 1);
  if (selector & 0x40) {
    (void)pictavo::ReadDateTaken(file);
    return 0;
  }
  pictavo::DecodeOptions options;
  // Small limits keep each run fast; the limits themselves are what is being tested.
  options.max_pixels = 4'000'000;
  options.raw_time_limit = std::chrono::seconds(2);
  if (selector & 0x10) {
    options.fit_width = 64;
    options.fit_height = 48;
  }
  // Raw files go through detection (LibRaw claims TIFF-like files first); LibRaw's own decoders
  // are only reached that way.
  const ImageFormat format =
      (selector & 0x20) ? kModernFormats[selector % 4] : kFormats[selector % 8];
  if (format == ImageFormat::kUnknown) {
    pictavo::DecodeImage(file, options);
  } else {
    pictavo::DecodeImageAs(format, file, options);
  }
  return 0;
}
