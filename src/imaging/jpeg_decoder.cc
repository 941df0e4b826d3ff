// JPEG through libjpeg-turbo. A fitted decode uses the library's scaled inverse DCT (1/8 to 8/8),
// which skips most of the work for a small picture. libjpeg reports fatal errors by calling
// error_exit, which must not return: it longjmps back into RunDecode, whose frame (like every
// libjpeg frame it jumps over) holds nothing with a destructor.
#include <cstddef>
#include <cstdio>
// clang-format off
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include <bit>
#include <csetjmp>
#include <cstring>
#include <memory>
#include <utility>

#include "imaging/decoders.h"
#include "imaging/orientation.h"

namespace pictavo::decoders {
namespace {

// More scans than any real progressive JPEG has; a crafted file with thousands of tiny scans
// would otherwise keep the decoder busy for minutes.
constexpr int kMaxScans = 1000;
constexpr long kMaxDecoderMemory = 1L << 30;

// The error manager comes first so that libjpeg's callbacks can find the whole job from it.
struct JpegJob {
  jpeg_error_mgr error_manager;
  jpeg_decompress_struct cinfo;
  jpeg_progress_mgr progress;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
  int warnings;
  bool truncated;
  const char* refusal;  // our own reason to stop, when not the library's
  std::span<const uint8_t> bytes;
  const DecodeOptions* options;
  DecodeResult* result;
  int rows_done;
};

JpegJob* JobOf(j_common_ptr cinfo) { return reinterpret_cast<JpegJob*>(cinfo->err); }

extern "C" void JpegErrorExit(j_common_ptr cinfo) {
  JpegJob* job = JobOf(cinfo);
  (*cinfo->err->format_message)(cinfo, job->message);
  std::longjmp(job->jump, 1);
}

// Warnings (level -1) mark damaged or missing data; the library goes on with filler. Trace
// messages (levels above 0) are dropped.
extern "C" void JpegEmitMessage(j_common_ptr cinfo, int level) {
  if (level >= 0) return;
  JpegJob* job = JobOf(cinfo);
  if (job->warnings++ == 0) (*cinfo->err->format_message)(cinfo, job->message);
  if (cinfo->err->msg_code == JWRN_JPEG_EOF) job->truncated = true;
}

extern "C" void JpegOutputMessage(j_common_ptr) {}

extern "C" void JpegProgress(j_common_ptr cinfo) {
  if (!cinfo->is_decompressor) return;
  auto* dinfo = reinterpret_cast<j_decompress_ptr>(cinfo);
  if (dinfo->input_scan_number > kMaxScans) {
    JpegJob* job = JobOf(cinfo);
    job->refusal = "too many scans";
    std::longjmp(job->jump, 1);
  }
}

// The smallest scale n/8 whose output still covers the fitted size, so that shrinking the rest
// of the way keeps the quality of an area average.
void ChooseScale(JpegJob* job) {
  const DecodeOptions& options = *job->options;
  jpeg_decompress_struct* cinfo = &job->cinfo;
  if (options.fit_width <= 0 || options.fit_height <= 0) return;
  const PictureSize target =
      FitWithin(static_cast<int>(cinfo->image_width), static_cast<int>(cinfo->image_height),
                options.fit_width, options.fit_height);
  for (unsigned n = 1; n < 8; ++n) {
    const uint64_t w = (uint64_t{cinfo->image_width} * n + 7) / 8;
    const uint64_t h = (uint64_t{cinfo->image_height} * n + 7) / 8;
    if (w >= static_cast<uint64_t>(target.width) && h >= static_cast<uint64_t>(target.height)) {
      cinfo->scale_num = n;
      cinfo->scale_denom = 8;
      return;
    }
  }
}

void ConvertCmykRow(uint32_t* row, int width, bool inverted) {
  // libjpeg wrote 4 bytes C, M, Y, K per pixel into the row; Adobe's writers store them inverted.
  auto* bytes = reinterpret_cast<uint8_t*>(row);
  for (int x = 0; x < width; ++x) {
    uint32_t c = bytes[x * 4], m = bytes[x * 4 + 1], y = bytes[x * 4 + 2], k = bytes[x * 4 + 3];
    if (!inverted) {
      c = 255 - c;
      m = 255 - m;
      y = 255 - y;
      k = 255 - k;
    }
    row[x] = PackRgb(c * k / 255, m * k / 255, y * k / 255);
  }
}

// Every libjpeg call happens here; returns false when the library (or a limit) stopped it.
bool RunDecode(JpegJob* job) {
  jpeg_decompress_struct* cinfo = &job->cinfo;
  if (setjmp(job->jump)) return false;
  jpeg_create_decompress(cinfo);
  cinfo->mem->max_memory_to_use = kMaxDecoderMemory;
  cinfo->progress = &job->progress;
  jpeg_mem_src(cinfo, job->bytes.data(), static_cast<unsigned long>(job->bytes.size()));
  if (jpeg_read_header(cinfo, TRUE) != JPEG_HEADER_OK) {
    job->refusal = "no image in the file";
    return false;
  }
  job->result->full_width = static_cast<int>(cinfo->image_width);
  job->result->full_height = static_cast<int>(cinfo->image_height);
  if (!SizeAllowed(cinfo->image_width, cinfo->image_height, *job->options)) {
    job->refusal = "picture size out of range";
    return false;
  }
  const bool cmyk = cinfo->jpeg_color_space == JCS_CMYK || cinfo->jpeg_color_space == JCS_YCCK;
  if (cmyk) {
    cinfo->out_color_space = JCS_CMYK;
  } else {
    // Bytes B, G, R, A in memory are the 32-bit value 0xAARRGGBB on a little-endian machine.
    cinfo->out_color_space =
        std::endian::native == std::endian::little ? JCS_EXT_BGRA : JCS_EXT_ARGB;
  }
  ChooseScale(job);
  jpeg_calc_output_dimensions(cinfo);
  if (!job->result->picture.Allocate(static_cast<int>(cinfo->output_width),
                                     static_cast<int>(cinfo->output_height))) {
    job->refusal = "out of memory";
    return false;
  }
  jpeg_start_decompress(cinfo);
  Picture& picture = job->result->picture;
  while (cinfo->output_scanline < cinfo->output_height &&
         cinfo->output_scanline < static_cast<JDIMENSION>(picture.height)) {
    uint32_t* row = picture.Row(static_cast<int>(cinfo->output_scanline));
    JSAMPROW pointer = reinterpret_cast<JSAMPROW>(row);
    if (jpeg_read_scanlines(cinfo, &pointer, 1) != 1) break;
    if (cmyk) ConvertCmykRow(row, picture.width, cinfo->saw_Adobe_marker);
    job->rows_done = static_cast<int>(cinfo->output_scanline);
  }
  jpeg_finish_decompress(cinfo);
  return true;
}

}  // namespace

DecodeResult DecodeJpeg(std::span<const uint8_t> bytes, const DecodeOptions& options) {
  DecodeResult result;
  result.format = ImageFormat::kJpeg;
  auto job = std::make_unique<JpegJob>();  // value-initialised: every field starts at zero
  job->cinfo.err = jpeg_std_error(&job->error_manager);
  job->error_manager.error_exit = JpegErrorExit;
  job->error_manager.emit_message = JpegEmitMessage;
  job->error_manager.output_message = JpegOutputMessage;
  job->progress.progress_monitor = JpegProgress;
  job->bytes = bytes;
  job->options = &options;
  job->result = &result;

  const bool finished = RunDecode(job.get());
  jpeg_destroy_decompress(&job->cinfo);

  if (finished && job->warnings == 0) {
    result.status = DecodeStatus::kComplete;
    return result;
  }
  // Rows already delivered before a fatal error are kept: the rest of the picture stays black.
  if (finished || job->rows_done > 0) {
    result.status = DecodeStatus::kPartial;
    result.message = job->truncated ? "data ends early" : job->message;
    return result;
  }
  return Failure(ImageFormat::kJpeg, job->refusal ? job->refusal : job->message);
}

}  // namespace pictavo::decoders

namespace pictavo::decoders {

DecodeResult DecodeJpegOriented(std::span<const uint8_t> bytes, const DecodeOptions& options,
                                int orientation) {
  DecodeOptions turned = options;
  if (OrientationSwapsSides(orientation)) std::swap(turned.fit_width, turned.fit_height);
  DecodeResult result = DecodeJpeg(bytes, turned);
  if (orientation <= kOrientationNormal || orientation > 8) return result;
  if (OrientationSwapsSides(orientation)) std::swap(result.full_width, result.full_height);
  if (result.ok() && !ApplyOrientation(result.picture, orientation)) {
    return Failure(ImageFormat::kJpeg, "out of memory");
  }
  return result;
}

}  // namespace pictavo::decoders
