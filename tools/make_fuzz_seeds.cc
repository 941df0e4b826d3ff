// Writes small seed inputs for the fuzzers: a sector-size byte followed by a medium holding
// real sample files at sector boundaries.
#include <algorithm>
#include <cstdio>
#include <string>

#include "samples/image_builder.h"
#include "samples/jpeg_sample.h"
#include "samples/tiff_seeds.h"

using pictavo::samples::ImageBuilder;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "Usage: %s DIR\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  ImageBuilder image(512, 5);
  image.Place(pictavo::samples::EncodeJpeg({.width = 16, .height = 16, .exif_thumbnail = true}));
  image.Gap(1);
  image.Place(pictavo::samples::EncodeJpeg({.width = 16, .height = 8, .progressive = true}));
  std::vector<uint8_t> seed(image.bytes().size() + 1, 0);
  std::copy(image.bytes().begin(), image.bytes().end(), seed.begin() + 1);
  bool written = pictavo::samples::WriteFile(dir + "/jpeg-pair", seed);
  for (const auto& [name, medium] : pictavo::samples::TiffFamilySeedMedia()) {
    std::vector<uint8_t> tiff_seed(medium.size() + 1, 0);  // first byte 0: 512-byte sectors
    std::copy(medium.begin(), medium.end(), tiff_seed.begin() + 1);
    written = pictavo::samples::WriteFile(dir + "/" + name, tiff_seed) && written;
  }
  return written ? 0 : 1;
}
