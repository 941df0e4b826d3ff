#include "samples/picture_samples.h"

// clang-format off
#include <cstdio>
#include <gif_lib.h>
#include <openjpeg.h>
#include <png.h>
#include <tiffio.h>
// clang-format on

#include <unistd.h>

#include <algorithm>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <string>

#include "samples/image_builder.h"
#include "samples/openjpeg_memory.h"

using pictavo::samples::ReadFile;
using pictavo::samples::TempDir;

namespace pictavo::samples::pattern {
namespace {

uint8_t R(uint32_t p) { return static_cast<uint8_t>(p >> 16); }
uint8_t G(uint32_t p) { return static_cast<uint8_t>(p >> 8); }
uint8_t B(uint32_t p) { return static_cast<uint8_t>(p); }

std::vector<uint8_t> PatternRgb(int width, int height, uint32_t seed, int channels) {
  std::vector<uint8_t> out(static_cast<size_t>(width) * height * channels);
  size_t i = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const uint32_t p = PatternPixel(x, y, width, height, seed);
      out[i++] = R(p);
      if (channels >= 3) {
        out[i++] = G(p);
        out[i++] = B(p);
      }
      if (channels == 4) out[i++] = static_cast<uint8_t>((x * 7 + y * 3) & 0xFF);
    }
  }
  return out;
}

// The 256-colour palette of the GIF and palette samples, and the index nearest a colour.
uint32_t PaletteColour(int index) {
  if (index < 216) {
    return 0xFF000000u | (uint32_t(index / 36 * 51) << 16) | (uint32_t(index / 6 % 6 * 51) << 8) |
           uint32_t(index % 6 * 51);
  }
  const uint32_t grey = static_cast<uint32_t>((index - 216) * 255 / 39);
  return 0xFF000000u | (grey << 16) | (grey << 8) | grey;
}
int PaletteIndex(uint32_t p) {
  return (R(p) + 25) / 51 * 36 + (G(p) + 25) / 51 * 6 + (B(p) + 25) / 51;
}

// libpng's error callback longjmps here through libpng's frames only.
struct PngSink {
  std::vector<uint8_t> bytes;
};
extern "C" void SampleWrite(png_structp png, png_bytep data, size_t count) {
  auto* sink = static_cast<PngSink*>(png_get_io_ptr(png));
  sink->bytes.insert(sink->bytes.end(), data, data + count);
}
extern "C" void SampleFlush(png_structp) {}

bool WritePngRows(png_structp png, png_infop info, const PngOptions& o, PngSink* sink,
                  const std::vector<uint8_t>* rows, int row_bytes) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_write_fn(png, sink, SampleWrite, SampleFlush);
  int type = PNG_COLOR_TYPE_RGB;
  if (o.colour == PngOptions::Colour::kRgba) type = PNG_COLOR_TYPE_RGB_ALPHA;
  if (o.colour == PngOptions::Colour::kGray) type = PNG_COLOR_TYPE_GRAY;
  if (o.colour == PngOptions::Colour::kPalette) type = PNG_COLOR_TYPE_PALETTE;
  const int depth = o.sixteen_bit && o.colour != PngOptions::Colour::kPalette ? 16 : 8;
  png_set_IHDR(png, info, o.width, o.height, depth, type,
               o.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_color palette[256];
  if (type == PNG_COLOR_TYPE_PALETTE) {
    for (int i = 0; i < 256; ++i) {
      const uint32_t c = PaletteColour(i);
      palette[i] = {R(c), G(c), B(c)};
    }
    png_set_PLTE(png, info, palette, 256);
  }
  png_write_info(png, info);
  const int passes = png_set_interlace_handling(png);
  for (int pass = 0; pass < passes; ++pass) {
    for (int y = 0; y < o.height; ++y) {
      png_write_row(png, rows->data() + static_cast<size_t>(y) * row_bytes);
    }
  }
  png_write_end(png, info);
  return true;
}

}  // namespace

uint32_t PatternPixel(int x, int y, int width, int height, uint32_t seed) {
  const uint32_t r = static_cast<uint32_t>(x * 255 / std::max(1, width - 1));
  const uint32_t g = static_cast<uint32_t>(y * 255 / std::max(1, height - 1));
  const uint32_t b = static_cast<uint32_t>(((x / 8 + y / 8) % 2) * 160 + (seed * 37) % 64);
  return 0xFF000000u | (r << 16) | (g << 8) | b;
}

std::vector<uint8_t> EncodePng(const PngOptions& o) {
  const bool sixteen = o.sixteen_bit && o.colour != PngOptions::Colour::kPalette;
  int channels = 3;
  if (o.colour == PngOptions::Colour::kRgba) channels = 4;
  if (o.colour == PngOptions::Colour::kGray || o.colour == PngOptions::Colour::kPalette)
    channels = 1;
  std::vector<uint8_t> pixels = PatternRgb(o.width, o.height, o.seed, channels);
  if (o.colour == PngOptions::Colour::kPalette) {
    for (int i = 0; i < o.width * o.height; ++i) {
      pixels[i] = static_cast<uint8_t>(
          PaletteIndex(PatternPixel(i % o.width, i / o.width, o.width, o.height, o.seed)));
    }
  }
  int row_bytes = o.width * channels;
  std::vector<uint8_t> rows = pixels;
  if (sixteen) {  // each sample twice: 0xAB becomes 0xABAB, big-endian
    rows.resize(pixels.size() * 2);
    for (size_t i = 0; i < pixels.size(); ++i) rows[i * 2] = rows[i * 2 + 1] = pixels[i];
    row_bytes *= 2;
  }
  PngSink sink;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  const bool ok = WritePngRows(png, info, o, &sink, &rows, row_bytes);
  png_destroy_write_struct(&png, &info);
  return ok ? sink.bytes : std::vector<uint8_t>();
}

std::vector<uint8_t> EncodeTiff(const TiffOptions& o) {
  TempDir dir;
  const std::string path = dir.File("sample.tif");
  TIFF* tiff = TIFFOpen(path.c_str(), o.big_endian ? "wb" : "wl");
  if (!tiff) return {};
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, o.width);
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, o.height);
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  int compression = COMPRESSION_NONE;
  if (o.compression == TiffOptions::Compression::kLzw) compression = COMPRESSION_LZW;
  if (o.compression == TiffOptions::Compression::kDeflate) compression = COMPRESSION_ADOBE_DEFLATE;
  if (o.compression == TiffOptions::Compression::kJpeg) compression = COMPRESSION_JPEG;
  TIFFSetField(tiff, TIFFTAG_COMPRESSION, compression);
  if (compression == COMPRESSION_JPEG) TIFFSetField(tiff, TIFFTAG_JPEGQUALITY, 90);
  const std::vector<uint8_t> pixels = PatternRgb(o.width, o.height, o.seed, 3);
  bool ok = true;
  if (o.tiled) {
    const int tile = 16;
    TIFFSetField(tiff, TIFFTAG_TILEWIDTH, tile);
    TIFFSetField(tiff, TIFFTAG_TILELENGTH, tile);
    std::vector<uint8_t> buffer(tile * tile * 3);
    for (int ty = 0; ty < o.height; ty += tile) {
      for (int tx = 0; tx < o.width; tx += tile) {
        std::fill(buffer.begin(), buffer.end(), 0);
        for (int y = 0; y < tile && ty + y < o.height; ++y) {
          for (int x = 0; x < tile && tx + x < o.width; ++x) {
            std::memcpy(&buffer[(y * tile + x) * 3], &pixels[((ty + y) * o.width + tx + x) * 3], 3);
          }
        }
        ok &= TIFFWriteTile(tiff, buffer.data(), tx, ty, 0, 0) >= 0;
      }
    }
  } else {
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, o.rows_per_strip);
    for (int y = 0; y < o.height; ++y) {
      ok &= TIFFWriteScanline(tiff, const_cast<uint8_t*>(&pixels[y * o.width * 3]), y, 0) >= 0;
    }
  }
  TIFFClose(tiff);
  return ok ? ReadFile(path) : std::vector<uint8_t>();
}

namespace {
extern "C" int GifSampleWrite(GifFileType* gif, const GifByteType* data, int count) {
  auto* out = static_cast<std::vector<uint8_t>*>(gif->UserData);
  out->insert(out->end(), data, data + count);
  return count;
}
}  // namespace

std::vector<uint8_t> EncodeGif(const GifOptions& o) {
  std::vector<uint8_t> out;
  int error = 0;
  GifFileType* gif = EGifOpen(&out, GifSampleWrite, &error);
  if (!gif) return {};
  GifColorType colours[256];
  for (int i = 0; i < 256; ++i) {
    const uint32_t c = PaletteColour(i);
    colours[i] = {R(c), G(c), B(c)};
  }
  ColorMapObject* map = GifMakeMapObject(256, colours);
  bool ok = EGifPutScreenDesc(gif, o.width, o.height, 8, 0, map) == GIF_OK;
  std::vector<GifPixelType> line(o.width);
  for (int frame = 0; frame < o.frames && ok; ++frame) {
    if (o.transparent_index >= 0) {
      GraphicsControlBlock gcb{};
      gcb.DisposalMode = DISPOSAL_UNSPECIFIED;
      gcb.TransparentColor = o.transparent_index;
      GifByteType extension[4];
      EGifGCBToExtension(&gcb, extension);
      ok &= EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, extension) == GIF_OK;
    }
    ok &= EGifPutImageDesc(gif, 0, 0, o.width, o.height, o.interlaced, nullptr) == GIF_OK;
    static constexpr int kStart[] = {0, 4, 2, 1}, kStep[] = {8, 8, 4, 2};
    const int passes = o.interlaced ? 4 : 1;
    for (int pass = 0; pass < passes && ok; ++pass) {
      for (int y = o.interlaced ? kStart[pass] : 0; y < o.height && ok;
           y += o.interlaced ? kStep[pass] : 1) {
        for (int x = 0; x < o.width; ++x) {
          line[x] = static_cast<GifPixelType>(
              PaletteIndex(PatternPixel(x, y, o.width, o.height, o.seed + frame)));
        }
        ok &= EGifPutLine(gif, line.data(), o.width) == GIF_OK;
      }
    }
  }
  EGifCloseFile(gif, &error);
  GifFreeMapObject(map);
  return ok ? out : std::vector<uint8_t>();
}

std::vector<uint8_t> EncodeJpeg2000(const Jpeg2000Options& o) {
  opj_image_cmptparm_t parts[3];
  std::memset(parts, 0, sizeof(parts));
  for (auto& part : parts) {
    part.dx = part.dy = 1;
    part.w = o.width;
    part.h = o.height;
    part.prec = 8;
  }
  opj_image_t* image = opj_image_create(3, parts, OPJ_CLRSPC_SRGB);
  if (!image) return {};
  image->x1 = o.width;
  image->y1 = o.height;
  for (int y = 0; y < o.height; ++y) {
    for (int x = 0; x < o.width; ++x) {
      const uint32_t p = PatternPixel(x, y, o.width, o.height, o.seed);
      image->comps[0].data[y * o.width + x] = R(p);
      image->comps[1].data[y * o.width + x] = G(p);
      image->comps[2].data[y * o.width + x] = B(p);
    }
  }
  opj_cparameters_t parameters;
  opj_set_default_encoder_parameters(&parameters);
  parameters.numresolution = o.resolutions;
  parameters.tcp_numlayers = 1;
  parameters.tcp_rates[0] = o.lossless ? 0 : 20;
  parameters.cp_disto_alloc = 1;
  parameters.tcp_mct = 1;
  return CompressJpeg2000(image, parameters, o.jp2);
}

namespace {
void Put16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}
}  // namespace

std::vector<uint8_t> EncodeBmp(const BmpOptions& o) {
  const int bits = o.bits;
  const int palette_entries = bits <= 8 ? (1 << bits) : 0;
  const uint32_t stride = ((static_cast<uint32_t>(o.width) * bits + 31) / 32) * 4;
  const bool masks = o.bitfields && (bits == 16 || bits == 32);
  const uint32_t header = 14 + 40 + (masks ? 16 : 0) + palette_entries * 4;
  std::vector<uint8_t> out = {'B', 'M'};
  Put32(out, header + stride * o.height);
  Put32(out, 0);
  Put32(out, header);
  Put32(out, 40);
  Put32(out, o.width);
  Put32(out, static_cast<uint32_t>(o.top_down ? -o.height : o.height));
  Put16(out, 1);
  Put16(out, bits);
  Put32(out, masks ? 6 : 0);  // BI_ALPHABITFIELDS carries four masks after a 40-byte header
  Put32(out, stride * o.height);
  Put32(out, 2835);
  Put32(out, 2835);
  Put32(out, 0);
  Put32(out, 0);
  if (masks && bits == 16) {
    Put32(out, 0xF800);
    Put32(out, 0x07E0);
    Put32(out, 0x001F);
    Put32(out, 0);
  } else if (masks) {
    Put32(out, 0x00FF0000);
    Put32(out, 0x0000FF00);
    Put32(out, 0x000000FF);
    Put32(out, 0xFF000000);
  }
  // 1 bit: black and white; 4 bits: 16 greys; 8 bits: the GIF palette.
  for (int i = 0; i < palette_entries; ++i) {
    uint32_t c = PaletteColour(i);
    if (bits == 1) c = i ? 0xFFFFFFFFu : 0xFF000000u;
    if (bits == 4) c = 0xFF000000u | (i * 17u) << 16 | (i * 17u) << 8 | (i * 17u);
    out.push_back(B(c));
    out.push_back(G(c));
    out.push_back(R(c));
    out.push_back(0);
  }
  for (int row = 0; row < o.height; ++row) {
    const int y = o.top_down ? row : o.height - 1 - row;
    std::vector<uint8_t> line(stride, 0);
    for (int x = 0; x < o.width; ++x) {
      const uint32_t p = PatternPixel(x, y, o.width, o.height, o.seed);
      switch (bits) {
        case 1:
          if (G(p) >= 128) line[x / 8] |= 0x80 >> (x % 8);
          break;
        case 4:
          line[x / 2] |= (G(p) / 17) << (x % 2 ? 0 : 4);
          break;
        case 8:
          line[x] = static_cast<uint8_t>(PaletteIndex(p));
          break;
        case 16: {
          const uint32_t v = masks ? (R(p) >> 3) << 11 | (G(p) >> 2) << 5 | B(p) >> 3
                                   : (R(p) >> 3) << 10 | (G(p) >> 3) << 5 | B(p) >> 3;
          line[x * 2] = static_cast<uint8_t>(v);
          line[x * 2 + 1] = static_cast<uint8_t>(v >> 8);
          break;
        }
        case 24:
          line[x * 3] = B(p);
          line[x * 3 + 1] = G(p);
          line[x * 3 + 2] = R(p);
          break;
        case 32:
          line[x * 4] = B(p);
          line[x * 4 + 1] = G(p);
          line[x * 4 + 2] = R(p);
          line[x * 4 + 3] = masks ? 0xFF : 0;
          break;
      }
    }
    out.insert(out.end(), line.begin(), line.end());
  }
  return out;
}

std::vector<uint8_t> EncodeDng(const DngOptions& o) {
  TempDir dir;
  const std::string path = dir.File("sample.dng");
  TIFF* tiff = TIFFOpen(path.c_str(), "wl");
  if (!tiff) return {};
  static const uint8_t kVersion[] = {1, 4, 0, 0};
  static const uint16_t kRepeat[] = {2, 2};
  static const uint8_t kRggb[] = {0, 1, 1, 2};
  static const float kColourMatrix[] = {0.8f, -0.2f, -0.1f, -0.3f, 1.2f, 0.1f, -0.05f, 0.15f, 0.6f};
  static const float kNeutral[] = {0.5f, 1.0f, 0.6f};
  TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, 0);
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, o.width);
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, o.height);
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 16);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, 32803);  // colour filter array
  TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 16);
  TIFFSetField(tiff, TIFFTAG_MAKE, "Pictavo");
  TIFFSetField(tiff, TIFFTAG_MODEL, "Test Sensor");
  TIFFSetField(tiff, TIFFTAG_DNGVERSION, kVersion);
  TIFFSetField(tiff, TIFFTAG_UNIQUECAMERAMODEL, "Pictavo Test Sensor");
  TIFFSetField(tiff, TIFFTAG_CFAREPEATPATTERNDIM, kRepeat);
  TIFFSetField(tiff, TIFFTAG_CFAPATTERN, 4, kRggb);
  TIFFSetField(tiff, TIFFTAG_COLORMATRIX1, 9, kColourMatrix);
  TIFFSetField(tiff, TIFFTAG_ASSHOTNEUTRAL, 3, kNeutral);
  TIFFSetField(tiff, TIFFTAG_WHITELEVEL, 1, std::vector<uint32_t>{65535}.data());
  std::vector<uint16_t> line(o.width);
  bool ok = true;
  for (int y = 0; y < o.height && ok; ++y) {
    for (int x = 0; x < o.width; ++x) {
      const uint32_t p = PatternPixel(x, y, o.width, o.height, o.seed);
      const int site = (y % 2) * 2 + (x % 2);  // R G / G B
      const uint32_t v = site == 0 ? R(p) : site == 3 ? B(p) : G(p);
      line[x] = static_cast<uint16_t>(v * 257);
    }
    ok = TIFFWriteScanline(tiff, line.data(), y, 0) >= 0;
  }
  TIFFClose(tiff);
  return ok ? ReadFile(path) : std::vector<uint8_t>();
}

}  // namespace pictavo::samples::pattern
