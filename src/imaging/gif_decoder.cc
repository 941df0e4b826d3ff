// GIF through giflib: the first frame, placed on the logical screen. giflib reports errors by
// return value, so no jumps are involved.
#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "imaging/decoders.h"

namespace pictavo::decoders {
namespace {

// Extension blocks before the first frame; each consumes at least one byte of the file, so this
// only stops crafted files made of endless empty extensions from looping long.
constexpr int kMaxExtensionBlocks = 100000;

struct GifInput {
  std::span<const uint8_t> bytes;
  size_t position = 0;
};

extern "C" int GifRead(GifFileType* gif, GifByteType* out, int count) {
  auto* input = static_cast<GifInput*>(gif->UserData);
  if (count <= 0) return 0;
  const size_t n =
      std::min<size_t>(static_cast<size_t>(count), input->bytes.size() - input->position);
  if (n > 0) std::memcpy(out, input->bytes.data() + input->position, n);
  input->position += n;
  return static_cast<int>(n);
}

struct GifCloser {
  void operator()(GifFileType* gif) const {
    int error = 0;
    DGifCloseFile(gif, &error);
  }
};

std::string GifErrorText(int code) {
  const char* text = GifErrorString(code);
  return text ? text : "GIF error";
}

}  // namespace

DecodeResult DecodeGif(std::span<const uint8_t> bytes, const DecodeOptions& options) {
  GifInput input{bytes, 0};
  int error = 0;
  std::unique_ptr<GifFileType, GifCloser> gif(DGifOpen(&input, GifRead, &error));
  if (!gif) return Failure(ImageFormat::kGif, GifErrorText(error));

  DecodeResult result;
  result.format = ImageFormat::kGif;
  int transparent_index = -1;
  int extension_blocks = 0;
  for (;;) {
    GifRecordType record = UNDEFINED_RECORD_TYPE;
    if (DGifGetRecordType(gif.get(), &record) == GIF_ERROR) {
      return Failure(ImageFormat::kGif, GifErrorText(gif->Error));
    }
    if (record == TERMINATE_RECORD_TYPE) return Failure(ImageFormat::kGif, "no frame in the file");
    if (record == EXTENSION_RECORD_TYPE) {
      int code = 0;
      GifByteType* block = nullptr;
      if (DGifGetExtension(gif.get(), &code, &block) == GIF_ERROR) {
        return Failure(ImageFormat::kGif, GifErrorText(gif->Error));
      }
      // The graphic control extension before the frame says which colour index is transparent.
      if (code == GRAPHICS_EXT_FUNC_CODE && block && block[0] >= 4) {
        transparent_index = (block[1] & 1) ? block[4] : -1;
      }
      while (block) {
        if (++extension_blocks > kMaxExtensionBlocks ||
            DGifGetExtensionNext(gif.get(), &block) == GIF_ERROR) {
          return Failure(ImageFormat::kGif, "damaged extension block");
        }
      }
      continue;
    }
    if (record != IMAGE_DESC_RECORD_TYPE) continue;

    if (DGifGetImageDesc(gif.get()) == GIF_ERROR) {
      return Failure(ImageFormat::kGif, GifErrorText(gif->Error));
    }
    const GifImageDesc& frame = gif->Image;
    const ColorMapObject* map = frame.ColorMap ? frame.ColorMap : gif->SColorMap;
    if (!map || !map->Colors || map->ColorCount <= 0) {
      return Failure(ImageFormat::kGif, "no colour table");
    }
    if (frame.Width <= 0 || frame.Height <= 0 || frame.Left < 0 || frame.Top < 0) {
      return Failure(ImageFormat::kGif, "frame has no pixels");
    }
    // The logical screen, grown to hold the whole frame when a writer got it wrong.
    const int64_t canvas_width = std::max<int64_t>(gif->SWidth, int64_t{frame.Left} + frame.Width);
    const int64_t canvas_height =
        std::max<int64_t>(gif->SHeight, int64_t{frame.Top} + frame.Height);
    if (!SizeAllowed(canvas_width, canvas_height, options) ||
        !SizeAllowed(frame.Width, frame.Height, options)) {
      return Failure(ImageFormat::kGif, "picture size out of range");
    }
    result.full_width = static_cast<int>(canvas_width);
    result.full_height = static_cast<int>(canvas_height);
    if (!result.picture.Allocate(result.full_width, result.full_height, 0)) {
      return Failure(ImageFormat::kGif, "out of memory");
    }
    uint32_t palette[256];
    for (int i = 0; i < 256; ++i) {
      if (i < map->ColorCount) {
        const GifColorType& c = map->Colors[i];
        palette[i] = PackRgb(c.Red, c.Green, c.Blue);
      } else {
        palette[i] = PackRgb(0, 0, 0);
      }
    }
    if (transparent_index >= 0) palette[transparent_index] = 0;

    // Interlaced frames deliver rows in four passes: every 8th from 0, every 8th from 4, every
    // 4th from 2, every 2nd from 1.
    static constexpr int kStart[] = {0, 4, 2, 1};
    static constexpr int kStep[] = {8, 8, 4, 2};
    const int passes = frame.Interlace ? 4 : 1;
    std::vector<GifPixelType> line(static_cast<size_t>(frame.Width));
    int rows_done = 0;
    for (int pass = 0; pass < passes; ++pass) {
      const int start = frame.Interlace ? kStart[pass] : 0;
      const int step = frame.Interlace ? kStep[pass] : 1;
      for (int y = start; y < frame.Height; y += step) {
        if (DGifGetLine(gif.get(), line.data(), frame.Width) == GIF_ERROR) {
          if (rows_done == 0) return Failure(ImageFormat::kGif, GifErrorText(gif->Error));
          result.status = DecodeStatus::kPartial;
          result.message = GifErrorText(gif->Error);
          return result;
        }
        uint32_t* out = result.picture.Row(frame.Top + y) + frame.Left;
        for (int x = 0; x < frame.Width; ++x) out[x] = palette[line[x]];
        ++rows_done;
      }
    }
    result.status = DecodeStatus::kComplete;
    return result;
  }
}

}  // namespace pictavo::decoders
