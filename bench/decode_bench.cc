// Decode times of the preview's decoders on camera-sized pictures: a 24-megapixel JPEG and a
// 24-megapixel raw (an uncompressed DNG made here, or any camera files given as arguments),
// each at full size and fitted to 800 x 600. Prints the best of three runs.
//
//   build/dev/bench/pictavo-bench-decode [FILE...]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>
// clang-format off
#include <jpeglib.h>
// clang-format on

#include "imaging/image_decoder.h"
#include "samples/image_builder.h"
#include "samples/picture_samples.h"

namespace {

using pictavo::DecodeImage;
using pictavo::DecodeOptions;
using pictavo::DecodeResult;

// A camera-like JPEG: smooth shading, fine detail and a little sensor noise, so that its size
// per pixel (about 0.4 bytes at quality 90) is that of a real photo rather than of pure noise.
std::vector<uint8_t> EncodePhotoLikeJpeg(int width, int height) {
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr jerr{};
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  unsigned char* out = nullptr;
  unsigned long out_size = 0;
  jpeg_mem_dest(&cinfo, &out, &out_size);
  cinfo.image_width = width;
  cinfo.image_height = height;
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 90, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  std::mt19937 rng(5);
  std::vector<uint8_t> row(static_cast<size_t>(width) * 3);
  while (cinfo.next_scanline < cinfo.image_height) {
    const int y = static_cast<int>(cinfo.next_scanline);
    for (int x = 0; x < width; ++x) {
      const double detail = 40 * std::sin(x / 9.0) * std::sin(y / 13.0);
      const int noise = static_cast<int>(rng() % 7) - 3;
      row[x * 3] =
          static_cast<uint8_t>(std::clamp(80 + x * 120 / width + detail + noise, 0.0, 255.0));
      row[x * 3 + 1] =
          static_cast<uint8_t>(std::clamp(60 + y * 150 / height + detail / 2 + noise, 0.0, 255.0));
      row[x * 3 + 2] = static_cast<uint8_t>(std::clamp(140 - detail + noise, 0.0, 255.0));
    }
    JSAMPROW pointer = row.data();
    jpeg_write_scanlines(&cinfo, &pointer, 1);
  }
  jpeg_finish_compress(&cinfo);
  std::vector<uint8_t> bytes(out, out + out_size);
  jpeg_destroy_compress(&cinfo);
  std::free(out);
  return bytes;
}

void Measure(const std::string& name, const std::vector<uint8_t>& bytes) {
  for (const bool fitted : {false, true}) {
    DecodeOptions options;
    if (fitted) {
      options.fit_width = 800;
      options.fit_height = 600;
    }
    double best = 1e9;
    DecodeResult result;
    for (int run = 0; run < 3; ++run) {
      const auto start = std::chrono::steady_clock::now();
      result = DecodeImage(bytes, options);
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      best = std::min(best, seconds);
    }
    std::printf("%-28s %-7s %5dx%-5d -> %5dx%-5d %-8s %8.1f ms\n", name.c_str(),
                fitted ? "800x600" : "full", result.full_width, result.full_height,
                result.picture.width, result.picture.height,
                std::string(pictavo::DecodeStatusName(result.status)).c_str(), best * 1000);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    for (int i = 1; i < argc; ++i) Measure(argv[i], pictavo::samples::ReadFile(argv[i]));
    return 0;
  }
  std::fprintf(stderr, "encoding a 6000x4000 JPEG and a 6000x4000 DNG...\n");
  const auto jpeg = EncodePhotoLikeJpeg(6000, 4000);
  const auto dng = pictavo::samples::pattern::EncodeDng({.width = 6000, .height = 4000});
  std::printf("JPEG %.1f MB, DNG %.1f MB\n", jpeg.size() / 1e6, dng.size() / 1e6);
  Measure("jpeg 24 MP (baseline, q90)", jpeg);
  Measure("dng 24 MP (no preview)", dng);
  return 0;
}
