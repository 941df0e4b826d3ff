#include "samples/png_sample.h"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <random>

namespace pictavo::samples {
namespace {

void WriteToVector(png_structp png, png_bytep data, png_size_t length) {
  auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}

void FlushNothing(png_structp) {}

}  // namespace

std::vector<uint8_t> EncodePng(const PngOptions& options) {
  std::vector<uint8_t> bytes;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return {};
  }
  png_set_write_fn(png, &bytes, WriteToVector, FlushNothing);
  if (options.idat_size != 0) png_set_compression_buffer_size(png, options.idat_size);

  int colour_type = PNG_COLOR_TYPE_RGB;
  int channels = 3;
  switch (options.colour) {
    case PngOptions::Colour::kRgb:
      break;
    case PngOptions::Colour::kRgba:
      colour_type = PNG_COLOR_TYPE_RGB_ALPHA;
      channels = 4;
      break;
    case PngOptions::Colour::kPalette:
      colour_type = PNG_COLOR_TYPE_PALETTE;
      channels = 1;
      break;
    case PngOptions::Colour::kGray:
      colour_type = PNG_COLOR_TYPE_GRAY;
      channels = 1;
      break;
  }
  png_set_IHDR(png, info, static_cast<png_uint_32>(options.width),
               static_cast<png_uint_32>(options.height), 8, colour_type,
               options.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  std::vector<png_color> palette(256);
  if (options.colour == PngOptions::Colour::kPalette) {
    for (int i = 0; i < 256; ++i) {
      palette[i] = {static_cast<png_byte>(i), static_cast<png_byte>(255 - i),
                    static_cast<png_byte>(i * 7)};
    }
    png_set_PLTE(png, info, palette.data(), 256);
  }
  std::vector<png_text> texts;
  for (const std::string& comment : options.comments) {
    png_text text{};
    text.compression = PNG_TEXT_COMPRESSION_NONE;
    text.key = const_cast<char*>("Comment");
    text.text = const_cast<char*>(comment.c_str());
    texts.push_back(text);
  }
  if (!texts.empty()) png_set_text(png, info, texts.data(), static_cast<int>(texts.size()));
  std::vector<uint8_t> private_data(options.private_chunk_bytes);
  png_unknown_chunk unknown{};
  if (options.private_chunk_bytes != 0) {
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_ALWAYS, nullptr, 0);
    for (size_t i = 0; i < private_data.size(); ++i) private_data[i] = static_cast<uint8_t>(i);
    std::copy_n("prVt", 5, reinterpret_cast<char*>(unknown.name));
    unknown.data = private_data.data();
    unknown.size = private_data.size();
    unknown.location = PNG_HAVE_PLTE;
    png_set_unknown_chunks(png, info, &unknown, 1);
  }
  png_write_info(png, info);

  std::mt19937 rng(options.seed);
  const size_t row_bytes = static_cast<size_t>(options.width) * channels;
  std::vector<std::vector<uint8_t>> rows(static_cast<size_t>(options.height),
                                         std::vector<uint8_t>(row_bytes));
  std::vector<png_bytep> row_pointers;
  for (int y = 0; y < options.height; ++y) {
    for (size_t x = 0; x < row_bytes; ++x) {
      rows[y][x] = static_cast<uint8_t>(x * 3 + static_cast<size_t>(y) * 5 + rng() % 32);
    }
    row_pointers.push_back(rows[y].data());
  }
  png_write_image(png, row_pointers.data());
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return bytes;
}

void AppendPngChunk(std::vector<uint8_t>& png, const char name[4],
                    const std::vector<uint8_t>& data) {
  const uint32_t length = static_cast<uint32_t>(data.size());
  for (int shift = 24; shift >= 0; shift -= 8) png.push_back(static_cast<uint8_t>(length >> shift));
  const size_t name_at = png.size();
  png.insert(png.end(), name, name + 4);
  png.insert(png.end(), data.begin(), data.end());
  const uint32_t crc = static_cast<uint32_t>(
      crc32(crc32(0, nullptr, 0), png.data() + name_at, static_cast<uInt>(data.size() + 4)));
  for (int shift = 24; shift >= 0; shift -= 8) png.push_back(static_cast<uint8_t>(crc >> shift));
}

}  // namespace pictavo::samples
