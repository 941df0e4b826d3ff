// Writes the seed inputs of the decoder fuzzer for the phone and modern-camera formats: a
// selector byte (see fuzz/fuzz_decoders.cc) followed by a small real file.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "samples/image_builder.h"
#include "samples/jpeg_sample.h"
#include "samples/modern_picture_samples.h"

namespace {

// Selector bits: 0x20 picks the modern decoders (then the low two bits: HEIF, AVIF, WebP, CR3),
// 0x10 a fitted decode; 0 alone detects the format from the content.
bool WriteSeed(const std::string& path, uint8_t selector, const std::vector<uint8_t>& file) {
  if (file.empty()) return false;
  std::vector<uint8_t> seed(file.size() + 1);
  seed[0] = selector;
  std::copy(file.begin(), file.end(), seed.begin() + 1);
  return pictavo::samples::WriteFile(path, seed);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "Usage: %s DIR\n", argv[0]);
    return 2;
  }
  namespace p = pictavo::samples::pattern;
  using pictavo::samples::EncodeJpeg;
  const std::string dir = std::string(argv[1]) + "/";
  bool ok = WriteSeed(dir + "heic-turned", 0x20,
                      p::EncodeHeif({.width = 16, .height = 16, .orientation = 6}));
  ok &= WriteSeed(dir + "avif-alpha-fitted", 0x31,
                  p::EncodeHeif({.width = 16, .height = 8, .av1 = true, .alpha = true}));
  ok &= WriteSeed(dir + "webp-lossy", 0x22, p::EncodeWebp({.width = 16, .height = 16}));
  ok &= WriteSeed(dir + "webp-lossless-alpha-fitted", 0x32,
                  p::EncodeWebp({.width = 24, .height = 8, .lossless = true, .alpha = true}));
  ok &= WriteSeed(dir + "webp-animated", 0x00,
                  p::EncodeWebp({.width = 8, .height = 8, .lossless = true, .frames = 2}));
  ok &= WriteSeed(dir + "cr3", 0x23,
                  p::BuildCr3({.full = EncodeJpeg({.width = 16, .height = 8}),
                               .preview = EncodeJpeg({.width = 8, .height = 8}),
                               .thumbnail = {},
                               .orientation = 8,
                               .raw_bytes = 16}));
  ok &= WriteSeed(dir + "dng-phone-preview", 0x00,
                  p::BuildPhoneDng({.preview = EncodeJpeg({.width = 16, .height = 8}),
                                    .preview_width = 16,
                                    .preview_height = 8,
                                    .orientation = 6,
                                    .raw_width = 8,
                                    .raw_height = 8}));
  return ok ? 0 : 1;
}
