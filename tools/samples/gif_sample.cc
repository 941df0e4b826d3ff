#include "samples/gif_sample.h"

#include <gif_lib.h>

#include <random>

namespace pictavo::samples {
namespace {

int WriteToVector(GifFileType* gif, const GifByteType* data, int length) {
  auto* out = static_cast<std::vector<uint8_t>*>(gif->UserData);
  out->insert(out->end(), data, data + length);
  return length;
}

ColorMapObject* MakeColourMap(int bits, uint32_t seed) {
  const int count = 1 << bits;
  std::vector<GifColorType> colours(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    colours[i].Red = static_cast<GifByteType>(i * 255 / std::max(1, count - 1));
    colours[i].Green = static_cast<GifByteType>((i * 37 + seed) & 0xFF);
    colours[i].Blue = static_cast<GifByteType>(255 - colours[i].Red);
  }
  return GifMakeMapObject(count, colours.data());
}

}  // namespace

std::vector<uint8_t> EncodeGif(const GifOptions& options) {
  std::vector<uint8_t> bytes;
  int error = 0;
  GifFileType* gif = EGifOpen(&bytes, WriteToVector, &error);
  if (gif == nullptr) return {};
  EGifSetGifVersion(gif, options.gif89);
  ColorMapObject* global =
      options.global_colour_table ? MakeColourMap(options.colour_bits, options.seed) : nullptr;
  bool ok = EGifPutScreenDesc(gif, options.width, options.height, options.colour_bits, 0, global) ==
            GIF_OK;
  if (ok && options.looping) {
    const GifByteType netscape[] = {'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0'};
    const GifByteType loop[] = {1, 0, 0};
    ok = EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE) == GIF_OK &&
         EGifPutExtensionBlock(gif, sizeof(netscape), netscape) == GIF_OK &&
         EGifPutExtensionBlock(gif, sizeof(loop), loop) == GIF_OK &&
         EGifPutExtensionTrailer(gif) == GIF_OK;
  }
  if (ok && !options.comment.empty()) ok = EGifPutComment(gif, options.comment.c_str()) == GIF_OK;

  std::mt19937 rng(options.seed);
  const int colours = 1 << options.colour_bits;
  std::vector<GifPixelType> line(static_cast<size_t>(options.width));
  for (int frame = 0; ok && frame < options.frames; ++frame) {
    ColorMapObject* local = options.local_colour_tables
                                ? MakeColourMap(options.colour_bits, options.seed + frame)
                                : nullptr;
    ok = EGifPutImageDesc(gif, 0, 0, options.width, options.height, options.interlaced, local) ==
         GIF_OK;
    // Rows in file order; for an interlaced image that order is not top to bottom, which does
    // not matter for noise.
    for (int y = 0; ok && y < options.height; ++y) {
      for (int x = 0; x < options.width; ++x) {
        line[x] =
            static_cast<GifPixelType>((x + y + frame * 3 + static_cast<int>(rng() % 5)) % colours);
      }
      ok = EGifPutLine(gif, line.data(), options.width) == GIF_OK;
    }
    GifFreeMapObject(local);
  }
  GifFreeMapObject(global);
  if (EGifCloseFile(gif, &error) != GIF_OK || !ok) return {};
  return bytes;
}

}  // namespace pictavo::samples
