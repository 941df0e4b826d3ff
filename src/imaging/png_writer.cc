#include "imaging/png_writer.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/system_error.h"

namespace pictavo {
namespace {

struct PngSink {
  std::vector<uint8_t>* out;
  char message[160];
};

extern "C" void SinkError(png_structp png, png_const_charp text) {
  auto* sink = static_cast<PngSink*>(png_get_error_ptr(png));
  std::snprintf(sink->message, sizeof(sink->message), "%s", text ? text : "libpng error");
  png_longjmp(png, 1);
}
extern "C" void SinkWarning(png_structp, png_const_charp) {}

extern "C" void SinkWrite(png_structp png, png_bytep data, size_t count) {
  auto* sink = static_cast<PngSink*>(png_get_io_ptr(png));
  sink->out->insert(sink->out->end(), data, data + count);
}
extern "C" void SinkFlush(png_structp) {}

// All libpng calls; a libpng error longjmps back to the setjmp here.
bool RunEncode(png_structp png, png_infop info, PngSink* sink, const Picture* picture,
               const uint8_t* rgba) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_write_fn(png, sink, SinkWrite, SinkFlush);
  png_set_IHDR(png, info, static_cast<png_uint_32>(picture->width),
               static_cast<png_uint_32>(picture->height), 8, PNG_COLOR_TYPE_RGB_ALPHA,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < picture->height; ++y) {
    png_write_row(png, rgba + static_cast<size_t>(y) * picture->width * 4);
  }
  png_write_end(png, nullptr);
  return true;
}

}  // namespace

bool EncodePng(const Picture& picture, std::vector<uint8_t>* out, std::string* error) {
  out->clear();
  if (picture.Empty()) {
    *error = "empty picture";
    return false;
  }
  std::vector<uint8_t> rgba(picture.pixels.size() * 4);
  for (size_t i = 0; i < picture.pixels.size(); ++i) {
    const uint32_t p = picture.pixels[i];
    rgba[i * 4] = static_cast<uint8_t>(p >> 16);
    rgba[i * 4 + 1] = static_cast<uint8_t>(p >> 8);
    rgba[i * 4 + 2] = static_cast<uint8_t>(p);
    rgba[i * 4 + 3] = static_cast<uint8_t>(p >> 24);
  }
  auto sink = std::make_unique<PngSink>();
  sink->out = out;
  png_structp png =
      png_create_write_struct(PNG_LIBPNG_VER_STRING, sink.get(), SinkError, SinkWarning);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  const bool ok = info && RunEncode(png, info, sink.get(), &picture, rgba.data());
  png_destroy_write_struct(&png, &info);
  if (!ok) *error = sink->message[0] ? sink->message : "out of memory";
  return ok;
}

bool WritePngFile(const Picture& picture, const std::string& path, std::string* error) {
  std::vector<uint8_t> bytes;
  if (!EncodePng(picture, &bytes, error)) return false;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) {
    *error = SystemErrorText(errno);
    return false;
  }
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  const int write_error = errno;
  if (std::fclose(file) != 0 || !written) {
    *error = SystemErrorText(written ? errno : write_error);
    return false;
  }
  return true;
}

}  // namespace pictavo
