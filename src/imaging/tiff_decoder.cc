// TIFF through libtiff's RGBA interface, which handles every photometric interpretation and
// compression the library was built with. libtiff reports errors through handlers and return
// values; the handlers are per file, so nothing is printed and nothing global is touched.
#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "imaging/decoders.h"

namespace pictavo::decoders {
namespace {

// No single allocation of the library may exceed this (a crafted strip size would otherwise ask
// for gigabytes before a byte is read).
constexpr tmsize_t kMaxSingleAllocation = tmsize_t{512} << 20;

struct TiffInput {
  std::span<const uint8_t> bytes;
  uint64_t position = 0;
  int errors = 0;
  std::string first_error;
};

extern "C" tmsize_t TiffRead(thandle_t handle, void* out, tmsize_t count) {
  auto* input = static_cast<TiffInput*>(handle);
  if (count <= 0 || input->position >= input->bytes.size()) return 0;
  const uint64_t n =
      std::min<uint64_t>(static_cast<uint64_t>(count), input->bytes.size() - input->position);
  std::memcpy(out, input->bytes.data() + input->position, n);
  input->position += n;
  return static_cast<tmsize_t>(n);
}

extern "C" tmsize_t TiffWrite(thandle_t, void*, tmsize_t) { return 0; }

extern "C" toff_t TiffSeek(thandle_t handle, toff_t offset, int whence) {
  auto* input = static_cast<TiffInput*>(handle);
  uint64_t base = 0;
  if (whence == SEEK_CUR) base = input->position;
  if (whence == SEEK_END) base = input->bytes.size();
  // Positions past the end are allowed, as with a file; reads there deliver nothing.
  input->position = base + offset;
  return input->position;
}

extern "C" int TiffClose(thandle_t) { return 0; }
extern "C" toff_t TiffSize(thandle_t handle) {
  return static_cast<TiffInput*>(handle)->bytes.size();
}
extern "C" int TiffMap(thandle_t, void**, toff_t*) { return 0; }
extern "C" void TiffUnmap(thandle_t, void*, toff_t) {}

extern "C" int TiffError(TIFF*, void* user_data, const char* module, const char* format,
                         va_list args) {
  auto* input = static_cast<TiffInput*>(user_data);
  if (input->errors++ == 0) {
    char text[256];
    std::vsnprintf(text, sizeof(text), format, args);
    input->first_error = module ? std::string(module) + ": " + text : std::string(text);
  }
  return 1;  // handled: the library prints nothing
}

extern "C" int TiffWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

// Swaps libtiff's 0xAABBGGRR into 0xAARRGGBB.
uint32_t FromAbgr(uint32_t p) {
  return (p & 0xFF00FF00u) | ((p & 0xFFu) << 16) | ((p >> 16) & 0xFFu);
}

}  // namespace

DecodeResult DecodeTiff(std::span<const uint8_t> bytes, const DecodeOptions& options) {
  // Errors raised outside any open file would go to the global handlers, which print.
  static std::once_flag quiet;
  std::call_once(quiet, [] {
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
  });

  TiffInput input;
  input.bytes = bytes;
  TIFFOpenOptions* open_options = TIFFOpenOptionsAlloc();
  if (!open_options) return Failure(ImageFormat::kTiff, "out of memory");
  TIFFOpenOptionsSetMaxSingleMemAlloc(open_options, kMaxSingleAllocation);
  TIFFOpenOptionsSetErrorHandlerExtR(open_options, TiffError, &input);
  TIFFOpenOptionsSetWarningHandlerExtR(open_options, TiffWarning, &input);
  // "m": never map the file.
  TIFF* tiff = TIFFClientOpenExt("memory", "rm", &input, TiffRead, TiffWrite, TiffSeek, TiffClose,
                                 TiffSize, TiffMap, TiffUnmap, open_options);
  TIFFOpenOptionsFree(open_options);
  if (!tiff) {
    return Failure(ImageFormat::kTiff,
                   input.first_error.empty() ? "not a readable TIFF" : input.first_error);
  }

  DecodeResult result;
  result.format = ImageFormat::kTiff;
  char reason[1024] = {};
  TIFFRGBAImage image{};
  if (!TIFFRGBAImageOK(tiff, reason) || !TIFFRGBAImageBegin(&image, tiff, 0, reason)) {
    TIFFClose(tiff);
    return Failure(ImageFormat::kTiff, reason[0] ? reason : "unsupported TIFF layout");
  }
  result.full_width = static_cast<int>(image.width);
  result.full_height = static_cast<int>(image.height);
  if (!SizeAllowed(image.width, image.height, options) ||
      !result.picture.Allocate(static_cast<int>(image.width), static_cast<int>(image.height), 0)) {
    TIFFRGBAImageEnd(&image);
    TIFFClose(tiff);
    return Failure(ImageFormat::kTiff, "picture size out of range");
  }
  image.req_orientation = ORIENTATION_TOPLEFT;
  const int errors_before = input.errors;
  const int got = TIFFRGBAImageGet(&image, result.picture.pixels.data(), image.width, image.height);
  TIFFRGBAImageEnd(&image);
  const uint64_t blocks = TIFFIsTiled(tiff) ? TIFFNumberOfTiles(tiff) : TIFFNumberOfStrips(tiff);
  TIFFClose(tiff);

  const int read_errors = input.errors - errors_before;
  for (uint32_t& p : result.picture.pixels) p = FromAbgr(p);
  if (got && read_errors == 0) {
    result.status = DecodeStatus::kComplete;
    return result;
  }
  // Every strip or tile failed: nothing of the picture came from the file.
  if (read_errors == 0 || static_cast<uint64_t>(read_errors) >= std::max<uint64_t>(blocks, 1)) {
    return Failure(ImageFormat::kTiff,
                   input.first_error.empty() ? "no pixel data could be read" : input.first_error);
  }
  result.status = DecodeStatus::kPartial;
  result.message = input.first_error;
  return result;
}

}  // namespace pictavo::decoders
