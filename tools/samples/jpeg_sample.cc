#include "samples/jpeg_sample.h"

#include <cstdio>
#include <cstdlib>
#include <random>

// jpeglib.h needs FILE and size_t declared before it.
#include <jpeglib.h>

namespace pictavo::samples {
namespace {

std::vector<uint8_t> EncodePlain(const JpegOptions& options) {
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr jerr{};
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  unsigned char* out = nullptr;
  unsigned long out_size = 0;
  jpeg_mem_dest(&cinfo, &out, &out_size);
  cinfo.image_width = static_cast<JDIMENSION>(options.width);
  cinfo.image_height = static_cast<JDIMENSION>(options.height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, options.quality, TRUE);
  if (options.progressive) jpeg_simple_progression(&cinfo);
  jpeg_start_compress(&cinfo, TRUE);
  std::mt19937 rng(options.seed);
  std::vector<uint8_t> row(static_cast<size_t>(options.width) * 3);
  while (cinfo.next_scanline < cinfo.image_height) {
    const int y = static_cast<int>(cinfo.next_scanline);
    for (int x = 0; x < options.width; ++x) {
      const int noise = static_cast<int>(rng() % 64);
      row[x * 3 + 0] =
          static_cast<uint8_t>((x * 255 / std::max(1, options.width - 1) + noise) & 0xFF);
      row[x * 3 + 1] =
          static_cast<uint8_t>((y * 255 / std::max(1, options.height - 1) + noise) & 0xFF);
      row[x * 3 + 2] =
          static_cast<uint8_t>(((x + y) * 7 + static_cast<int>(options.seed) * 31) & 0xFF);
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

void InsertApp1(std::vector<uint8_t>& jpeg, const std::vector<uint8_t>& payload) {
  const size_t length = payload.size() + 2;
  std::vector<uint8_t> segment = {0xFF, 0xE1, static_cast<uint8_t>(length >> 8),
                                  static_cast<uint8_t>(length & 0xFF)};
  segment.insert(segment.end(), payload.begin(), payload.end());
  jpeg.insert(jpeg.begin() + 2, segment.begin(), segment.end());
}

}  // namespace

std::vector<uint8_t> EncodeJpeg(const JpegOptions& options) {
  std::vector<uint8_t> jpeg = EncodePlain(options);
  if (options.exif_thumbnail) {
    JpegOptions thumb;
    thumb.width = 16;
    thumb.height = 16;
    thumb.seed = options.seed + 1000;
    std::vector<uint8_t> payload = {'E', 'x', 'i', 'f', 0, 0};
    const std::vector<uint8_t> thumbnail = EncodePlain(thumb);
    payload.insert(payload.end(), thumbnail.begin(), thumbnail.end());
    InsertApp1(jpeg, payload);
  }
  if (options.app1_payload > 0) {
    std::vector<uint8_t> payload(options.app1_payload);
    std::mt19937 rng(options.seed * 7 + 3);
    for (auto& b : payload) b = static_cast<uint8_t>(rng());
    InsertApp1(jpeg, payload);
  }
  if (options.without_eoi && jpeg.size() >= 2) jpeg.resize(jpeg.size() - 2);
  return jpeg;
}

}  // namespace pictavo::samples
