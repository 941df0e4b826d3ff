// Builds the demo medium for the README's first command: a small disk image holding real photos
// between leftovers of other data, as a formatted memory card would.
#include <cstdio>
#include <string>

#include "samples/gif_sample.h"
#include "samples/image_builder.h"
#include "samples/jpeg_sample.h"
#include "samples/media_samples.h"
#include "samples/png_sample.h"

using pictavo::samples::ImageBuilder;
using pictavo::samples::JpegOptions;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "Usage: %s OUTPUT.img\n", argv[0]);
    return 2;
  }
  ImageBuilder image(512, 2024);
  image.Gap(64, ImageBuilder::Fill::kZeros);
  for (uint32_t i = 0; i < 12; ++i) {
    JpegOptions options;
    options.width = 320 + 64 * static_cast<int>(i % 4);
    options.height = 240 + 48 * static_cast<int>(i % 3);
    options.progressive = i % 3 == 1;
    options.exif_thumbnail = i % 2 == 0;
    options.seed = 100 + i;
    image.Place(pictavo::samples::EncodeJpeg(options), ImageBuilder::Fill::kZeros);
    image.Gap(1 + i * 7 % 40, i % 2 ? ImageBuilder::Fill::kRandom : ImageBuilder::Fill::kZeros);
  }
  for (uint32_t i = 0; i < 3; ++i) {
    image.Place(pictavo::samples::EncodePng({.width = 200, .height = 150, .seed = 40 + i}));
    image.Gap(3 + i, ImageBuilder::Fill::kRandom);
    image.Place(pictavo::samples::EncodeGif(
        {.width = 120, .height = 90, .frames = 1 + static_cast<int>(i), .seed = 60 + i}));
    image.Gap(2, ImageBuilder::Fill::kZeros);
  }
  // A voice memo and a short movie clip, as cameras leave them beside the photos.
  image.Place(pictavo::samples::MakeWav({.sample_rate = 11025, .frames = 22050, .title = "Memo"}));
  image.Gap(9, ImageBuilder::Fill::kRandom);
  image.Place(
      pictavo::samples::MakeAvi({.width = 160, .height = 120, .frames = 10, .movi_at = 2048}));
  image.Gap(128, ImageBuilder::Fill::kRandom);
  if (!image.WriteDiskImage(argv[1])) {
    std::perror(argv[1]);
    return 1;
  }
  std::printf("wrote %s (%zu bytes of medium)\n", argv[1], image.bytes().size());
  return 0;
}
