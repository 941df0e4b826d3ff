// PNG through libpng. libpng reports fatal errors by longjmp to the setjmp in RunDecode; the
// frames in between are libpng's own and ours without destructors.
#include <png.h>

#include <bit>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

#include "imaging/decoders.h"

namespace pictavo::decoders {
namespace {

struct PngJob {
  png_structp png;
  png_infop info;
  std::span<const uint8_t> bytes;
  size_t position;
  const DecodeOptions* options;
  DecodeResult* result;
  const char* refusal;
  char message[160];
  bool damaged;    // a checksum failed
  bool truncated;  // the data ran out
  bool rows_complete;
  long rows_done;  // rows delivered, over all interlace passes
};

extern "C" void PngError(png_structp png, png_const_charp text) {
  auto* job = static_cast<PngJob*>(png_get_error_ptr(png));
  std::snprintf(job->message, sizeof(job->message), "%s", text ? text : "libpng error");
  png_longjmp(png, 1);
}

extern "C" void PngWarning(png_structp png, png_const_charp text) {
  auto* job = static_cast<PngJob*>(png_get_error_ptr(png));
  // A bad checksum is reported as a warning once the library is told to use the data anyway.
  if (text && std::strstr(text, "CRC")) {
    if (!job->damaged && !job->truncated)
      std::snprintf(job->message, sizeof(job->message), "%s", text);
    job->damaged = true;
  }
}

extern "C" void PngRead(png_structp png, png_bytep out, size_t count) {
  auto* job = static_cast<PngJob*>(png_get_io_ptr(png));
  const size_t left = job->bytes.size() - job->position;
  if (count > left) {
    // libpng asks for whole buffers of compressed data: hand over what there is and zeros for
    // the rest, so that the rows the real data holds are still decoded; the zeros then stop the
    // decompressor with an error.
    if (left > 0) std::memcpy(out, job->bytes.data() + job->position, left);
    std::memset(out + left, 0, count - left);
    job->position = job->bytes.size();
    if (!job->truncated) std::snprintf(job->message, sizeof(job->message), "data ends early");
    job->truncated = true;
    if (left == 0) png_error(png, "data ends early");
    return;
  }
  if (count > 0) std::memcpy(out, job->bytes.data() + job->position, count);
  job->position += count;
}

bool RunDecode(PngJob* job) {
  if (setjmp(png_jmpbuf(job->png))) return false;
  png_set_read_fn(job->png, job, PngRead);
  // A carved file with a flipped byte still shows most of its picture: use the data, note it.
  png_set_crc_action(job->png, PNG_CRC_WARN_USE, PNG_CRC_WARN_USE);
  png_read_info(job->png, job->info);
  png_uint_32 width = 0, height = 0;
  int depth = 0, colour = 0, interlace = 0;
  png_get_IHDR(job->png, job->info, &width, &height, &depth, &colour, &interlace, nullptr, nullptr);
  job->result->full_width = static_cast<int>(width);
  job->result->full_height = static_cast<int>(height);
  if (!SizeAllowed(width, height, *job->options)) {
    job->refusal = "picture size out of range";
    return false;
  }
  png_set_expand(job->png);
  png_set_scale_16(job->png);
  png_set_gray_to_rgb(job->png);
  if (std::endian::native == std::endian::little) {
    png_set_bgr(job->png);
    png_set_filler(job->png, 0xFF, PNG_FILLER_AFTER);
  } else {
    png_set_swap_alpha(job->png);
    png_set_filler(job->png, 0xFF, PNG_FILLER_BEFORE);
  }
  const int passes = png_set_interlace_handling(job->png);
  png_read_update_info(job->png, job->info);
  if (png_get_rowbytes(job->png, job->info) != size_t{width} * 4) {
    job->refusal = "unexpected row layout";
    return false;
  }
  Picture& picture = job->result->picture;
  if (!picture.Allocate(static_cast<int>(width), static_cast<int>(height), 0)) {
    job->refusal = "out of memory";
    return false;
  }
  for (int pass = 0; pass < passes; ++pass) {
    for (int y = 0; y < picture.height; ++y) {
      png_read_row(job->png, reinterpret_cast<png_bytep>(picture.Row(y)), nullptr);
      ++job->rows_done;
    }
  }
  job->rows_complete = true;
  png_read_end(job->png, nullptr);
  return true;
}

}  // namespace

DecodeResult DecodePng(std::span<const uint8_t> bytes, const DecodeOptions& options) {
  DecodeResult result;
  result.format = ImageFormat::kPng;
  auto job = std::make_unique<PngJob>();
  job->bytes = bytes;
  job->options = &options;
  job->result = &result;
  job->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, job.get(), PngError, PngWarning);
  if (!job->png) return Failure(ImageFormat::kPng, "out of memory");
  job->info = png_create_info_struct(job->png);
  if (!job->info) {
    png_destroy_read_struct(&job->png, nullptr, nullptr);
    return Failure(ImageFormat::kPng, "out of memory");
  }
  const bool finished = RunDecode(job.get());
  png_destroy_read_struct(&job->png, &job->info, nullptr);

  // Missing chunks after the image data (a carved file cut after its last IDAT) cost no pixels.
  if ((finished || job->rows_complete) && !job->damaged) {
    result.status = DecodeStatus::kComplete;
    return result;
  }
  if (job->rows_complete || job->rows_done > 0) {
    result.status = DecodeStatus::kPartial;
    result.message = job->message;
    return result;
  }
  result.picture = {};
  return Failure(ImageFormat::kPng, job->refusal ? job->refusal : job->message);
}

}  // namespace pictavo::decoders
