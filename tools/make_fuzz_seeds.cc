// Writes small seed inputs for the fuzzers: a sector-size byte followed by a medium holding
// real sample files at sector boundaries.
#include <algorithm>
#include <cstdio>
#include <string>

#include "samples/bmp_sample.h"
#include "samples/crw_sample.h"
#include "samples/gif_sample.h"
#include "samples/image_builder.h"
#include "samples/jpeg2000_sample.h"
#include "samples/jpeg_sample.h"
#include "samples/media_samples.h"
#include "samples/modern_samples.h"
#include "samples/png_sample.h"
#include "samples/tiff_seeds.h"

using pictavo::samples::ImageBuilder;

namespace {

// A seed is one byte choosing the sector size (0: 512) followed by the medium.
bool WriteSeed(const std::string& path, const ImageBuilder& image) {
  std::vector<uint8_t> seed(image.bytes().size() + 1, 0);
  std::copy(image.bytes().begin(), image.bytes().end(), seed.begin() + 1);
  return pictavo::samples::WriteFile(path, seed);
}

}  // namespace

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
  bool ok = WriteSeed(dir + "/jpeg-pair", image);

  ImageBuilder riff(512, 6);
  riff.Place(pictavo::samples::MakeWav({.frames = 200, .title = "a"}));
  riff.Gap(1);
  riff.Place(pictavo::samples::MakeAvi({.width = 8, .height = 8, .frames = 2}));
  ok = WriteSeed(dir + "/riff-pair", riff) && ok;

  ImageBuilder movies(512, 7);
  movies.Place(pictavo::samples::MakeMov({.media_bytes = 600}));
  movies.Gap(1);
  movies.Place(pictavo::samples::MakeMpeg({.packs = 2, .payload_bytes = 120}));
  ok = WriteSeed(dir + "/movie-pair", movies) && ok;

  ImageBuilder raws(512, 8);
  raws.Place(pictavo::samples::MakeRaf({.jpeg_length = 100, .cfa_offset = 300, .cfa_length = 400}));
  raws.Place(
      pictavo::samples::MakeMrw({.sensor_height = 8, .sensor_width = 12, .blocks_before_prd = 1}));
  raws.Gap(1);
  raws.Place(pictavo::samples::MakeX3f({.directory_at = 600, .entries = 2}));
  ok = WriteSeed(dir + "/raw-trio", raws) && ok;

  ImageBuilder pictures(512, 6);
  pictures.Place(pictavo::samples::EncodePng({.width = 8, .height = 8, .comments = {"seed"}}));
  pictures.Place(pictavo::samples::EncodeGif({.width = 8,
                                              .height = 8,
                                              .colour_bits = 2,
                                              .local_colour_tables = true,
                                              .frames = 2,
                                              .comment = "seed"}));
  pictures.Place(pictavo::samples::EncodeBmp(
      {.width = 4, .height = 4, .bits_per_pixel = 24, .zero_declared_size = true}));
  ok = WriteSeed(dir + "/png-gif-bmp", pictures) && ok;

  ImageBuilder raw_and_jpeg2000(512, 7);
  raw_and_jpeg2000.Place(pictavo::samples::EncodeJpeg2000({.width = 8, .height = 8}));
  raw_and_jpeg2000.Place(pictavo::samples::EncodeJpeg2000({.width = 8, .height = 4, .jp2 = true}));
  raw_and_jpeg2000.Place(pictavo::samples::MakeCrw({.raw_bytes = 200, .jpeg_bytes = 100}));
  ok = WriteSeed(dir + "/jpeg2000-crw", raw_and_jpeg2000) && ok;

  namespace s = pictavo::samples;
  ImageBuilder iso(512, 9);
  iso.Place(s::MakeIsoFile({"heic", {"mif1", "heic"}, {{"meta", 60}, {"mdat", 300}}}));
  iso.Place(s::MakeIsoFile({"mp42", {"isom"}, {{"moov", 80}, {"mdat", 200, true}}}));
  iso.Place(s::MakeIsoFile({"crx ", {"crx "}, {{"moov", 90}, {"uuid", 40}, {"mdat", 100}}}));
  ok = WriteSeed(dir + "/modern-iso", iso) && ok;

  ImageBuilder webp_ogg(512, 10);
  webp_ogg.Place(
      s::MakeWebp({.kind = s::WebpKind::kExtended, .image_bytes = 200, .trailing_chunks = 1}));
  webp_ogg.Place(s::MakeOgg({.pages = 2, .packet_bytes = 120}));
  ok = WriteSeed(dir + "/modern-webp-ogg", webp_ogg) && ok;

  ImageBuilder dng(512, 11);
  dng.Place(
      s::MakeDng({.tiles = 2, .tile_bytes = 100, .preview_bytes = 80, .maker_note_bytes = 40}));
  ok = WriteSeed(dir + "/modern-dng", dng) && ok;

  for (const auto& [name, medium] : pictavo::samples::TiffFamilySeedMedia()) {
    std::vector<uint8_t> tiff_seed(medium.size() + 1, 0);  // first byte 0: 512-byte sectors
    std::copy(medium.begin(), medium.end(), tiff_seed.begin() + 1);
    ok = pictavo::samples::WriteFile(dir + "/" + name, tiff_seed) && ok;
  }
  return ok ? 0 : 1;
}
