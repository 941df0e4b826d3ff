// Builds a benchmark medium holding thousands of small PNG and GIF files, as a card or a
// browser cache full of icons and thumbnails would, with leftovers of other data between them.
// Writes the image and, beside it, IMAGE.tsv with the type, offset and length of every file.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "samples/gif_sample.h"
#include "samples/image_builder.h"
#include "samples/png_sample.h"

using pictavo::samples::ImageBuilder;

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "Usage: %s OUTPUT.img [FILES]   (default 4000 files)\n", argv[0]);
    return 2;
  }
  const std::string output = argv[1];
  const long count = argc == 3 ? std::strtol(argv[2], nullptr, 10) : 4000;
  if (count <= 0) {
    std::fprintf(stderr, "FILES must be a positive number\n");
    return 2;
  }

  // A few dozen distinct files of 1 to 40 KB, reused in turn.
  std::vector<std::pair<const char*, std::vector<uint8_t>>> files;
  for (uint32_t i = 0; i < 24; ++i) {
    pictavo::samples::PngOptions png;
    png.width = 16 + static_cast<int>(i * 9 % 120);
    png.height = 16 + static_cast<int>(i * 13 % 90);
    png.colour = i % 3 == 0 ? pictavo::samples::PngOptions::Colour::kRgba
                            : pictavo::samples::PngOptions::Colour::kRgb;
    png.interlaced = i % 5 == 0;
    png.seed = 300 + i;
    files.emplace_back("png", pictavo::samples::EncodePng(png));
    pictavo::samples::GifOptions gif;
    gif.width = 16 + static_cast<int>(i * 11 % 150);
    gif.height = 16 + static_cast<int>(i * 7 % 100);
    gif.frames = 1 + static_cast<int>(i % 3);
    gif.interlaced = i % 4 == 1;
    gif.seed = 500 + i;
    files.emplace_back("gif", pictavo::samples::EncodeGif(gif));
  }

  ImageBuilder image(512, 77);
  image.Gap(16, ImageBuilder::Fill::kZeros);
  std::string truth = "type\toffset\tlength\n";
  for (long i = 0; i < count; ++i) {
    const auto& [type, bytes] = files[static_cast<size_t>(i) % files.size()];
    const uint64_t offset = image.Place(bytes, ImageBuilder::Fill::kZeros);
    truth += std::string(type) + "\t" + std::to_string(offset) + "\t" +
             std::to_string(bytes.size()) + "\n";
    image.Gap(1 + static_cast<uint32_t>(i * 7 % 5),
              i % 2 ? ImageBuilder::Fill::kRandom : ImageBuilder::Fill::kZeros);
  }
  image.Gap(64, ImageBuilder::Fill::kRandom);
  if (!image.WriteDiskImage(output) ||
      !pictavo::samples::WriteFile(output + ".tsv",
                                   std::vector<uint8_t>(truth.begin(), truth.end()))) {
    std::perror(output.c_str());
    return 1;
  }
  std::printf("wrote %s (%ld files, %zu bytes of medium)\n", output.c_str(), count,
              image.bytes().size());
  return 0;
}
