// JPEG 2000 codestreams and JP2 files through OpenJPEG. A fitted decode discards resolution
// levels (each halves the size) that the picture does not need. OpenJPEG reports problems through
// handlers and return values.
#include <openjpeg.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "imaging/decoders.h"

namespace pictavo::decoders {
namespace {

constexpr uint32_t kMaxComponents = 16;

struct J2kInput {
  std::span<const uint8_t> bytes;
  uint64_t position = 0;
  bool decoding = false;
  int warnings = 0;
  std::string first_warning;
  std::string first_error;
};

extern "C" OPJ_SIZE_T J2kRead(void* out, OPJ_SIZE_T count, void* user) {
  auto* input = static_cast<J2kInput*>(user);
  if (input->position >= input->bytes.size()) return static_cast<OPJ_SIZE_T>(-1);
  const uint64_t n = std::min<uint64_t>(count, input->bytes.size() - input->position);
  std::memcpy(out, input->bytes.data() + input->position, n);
  input->position += n;
  return static_cast<OPJ_SIZE_T>(n);
}

extern "C" OPJ_OFF_T J2kSkip(OPJ_OFF_T count, void* user) {
  auto* input = static_cast<J2kInput*>(user);
  if (count < 0) {
    const uint64_t back = std::min<uint64_t>(static_cast<uint64_t>(-count), input->position);
    input->position -= back;
    return -static_cast<OPJ_OFF_T>(back);
  }
  const uint64_t n = std::min<uint64_t>(
      static_cast<uint64_t>(count),
      input->bytes.size() - std::min<uint64_t>(input->position, input->bytes.size()));
  if (n == 0) return -1;  // the library treats a skip of nothing as the end of the stream
  input->position += n;
  return static_cast<OPJ_OFF_T>(n);
}

extern "C" OPJ_BOOL J2kSeek(OPJ_OFF_T position, void* user) {
  auto* input = static_cast<J2kInput*>(user);
  if (position < 0 || static_cast<uint64_t>(position) > input->bytes.size()) return OPJ_FALSE;
  input->position = static_cast<uint64_t>(position);
  return OPJ_TRUE;
}

extern "C" void J2kError(const char* text, void* user) {
  auto* input = static_cast<J2kInput*>(user);
  if (input->first_error.empty() && text) {
    input->first_error = text;
    while (!input->first_error.empty() && input->first_error.back() == '\n') {
      input->first_error.pop_back();
    }
  }
}

// Warnings while the tiles are decoded mean damaged or missing data (OpenJPEG goes on with what
// it has: a cut tile part, a code block longer than the data left); warnings while the headers
// are read also come with unusual but sound files, so only the former count.
extern "C" void J2kWarning(const char* text, void* user) {
  auto* input = static_cast<J2kInput*>(user);
  if (!input->decoding) return;
  if (input->warnings++ == 0 && text) {
    input->first_warning = text;
    while (!input->first_warning.empty() && input->first_warning.back() == '\n') {
      input->first_warning.pop_back();
    }
  }
}

extern "C" void J2kInfo(const char*, void*) {}

struct CodecCloser {
  void operator()(opj_codec_t* codec) const { opj_destroy_codec(codec); }
};
struct StreamCloser {
  void operator()(opj_stream_t* stream) const { opj_stream_destroy(stream); }
};
struct ImageCloser {
  void operator()(opj_image_t* image) const { opj_image_destroy(image); }
};

uint32_t Sample(const opj_image_comp_t& comp, uint32_t x, uint32_t y, uint32_t width,
                uint32_t height) {
  // Components may be subsampled: map the output position onto the component's own grid.
  const uint32_t cx = std::min<uint64_t>(comp.w - 1, uint64_t{x} * comp.w / width);
  const uint32_t cy = std::min<uint64_t>(comp.h - 1, uint64_t{y} * comp.h / height);
  int64_t value = comp.data[size_t{cy} * comp.w + cx];
  if (comp.sgnd) value += int64_t{1} << (comp.prec - 1);
  if (comp.prec > 8)
    value >>= (comp.prec - 8);
  else if (comp.prec < 8)
    value <<= (8 - comp.prec);
  return static_cast<uint32_t>(std::clamp<int64_t>(value, 0, 255));
}

uint32_t Clamp8(double v) { return static_cast<uint32_t>(std::clamp(v + 0.5, 0.0, 255.0)); }

// Copies the decoded components into the picture; false when they are unusable.
bool ToPicture(const opj_image_t& image, Picture& picture) {
  if (image.numcomps == 0 || !image.comps) return false;
  const uint32_t count = std::min(image.numcomps, kMaxComponents);
  for (uint32_t c = 0; c < count; ++c) {
    const opj_image_comp_t& comp = image.comps[c];
    if (!comp.data || comp.w == 0 || comp.h == 0 || comp.prec == 0 || comp.prec > 31) return false;
  }
  const uint32_t width = image.comps[0].w, height = image.comps[0].h;
  if (!picture.Allocate(static_cast<int>(width), static_cast<int>(height))) return false;
  const bool colour = count >= 3;
  const bool ycc =
      colour && (image.color_space == OPJ_CLRSPC_SYCC || image.color_space == OPJ_CLRSPC_EYCC);
  const int alpha_comp = colour ? (count >= 4 ? 3 : -1) : (count >= 2 ? 1 : -1);
  for (uint32_t y = 0; y < height; ++y) {
    uint32_t* row = picture.Row(static_cast<int>(y));
    for (uint32_t x = 0; x < width; ++x) {
      uint32_t r, g, b;
      if (!colour) {
        r = g = b = Sample(image.comps[0], x, y, width, height);
      } else if (ycc) {
        const double luma = Sample(image.comps[0], x, y, width, height);
        const double cb = static_cast<double>(Sample(image.comps[1], x, y, width, height)) - 128;
        const double cr = static_cast<double>(Sample(image.comps[2], x, y, width, height)) - 128;
        r = Clamp8(luma + 1.402 * cr);
        g = Clamp8(luma - 0.344136 * cb - 0.714136 * cr);
        b = Clamp8(luma + 1.772 * cb);
      } else {
        r = Sample(image.comps[0], x, y, width, height);
        g = Sample(image.comps[1], x, y, width, height);
        b = Sample(image.comps[2], x, y, width, height);
      }
      const uint32_t a =
          alpha_comp >= 0 ? Sample(image.comps[alpha_comp], x, y, width, height) : 255;
      row[x] = PackArgb(a, r, g, b);
    }
  }
  return true;
}

// The number of resolution levels to drop so that the picture still covers the fitted size.
uint32_t ChooseReduction(opj_codec_t* codec, const opj_image_t& image,
                         const DecodeOptions& options) {
  if (options.fit_width <= 0 || options.fit_height <= 0) return 0;
  opj_codestream_info_v2_t* info = opj_get_cstr_info(codec);
  if (!info) return 0;
  uint32_t levels = 33;
  if (info->m_default_tile_info.tccp_info) {
    for (uint32_t c = 0; c < info->nbcomps; ++c) {
      levels = std::min(levels, info->m_default_tile_info.tccp_info[c].numresolutions);
    }
  }
  opj_destroy_cstr_info(&info);
  if (levels == 33 || levels == 0) return 0;
  const uint64_t width = image.x1 - image.x0, height = image.y1 - image.y0;
  const PictureSize target = FitWithin(static_cast<int>(width), static_cast<int>(height),
                                       options.fit_width, options.fit_height);
  uint32_t reduce = 0;
  while (reduce + 1 < levels) {
    const uint32_t next = reduce + 1;
    const uint64_t w = (width + (uint64_t{1} << next) - 1) >> next;
    const uint64_t h = (height + (uint64_t{1} << next) - 1) >> next;
    if (w < static_cast<uint64_t>(target.width) || h < static_cast<uint64_t>(target.height)) break;
    reduce = next;
  }
  return reduce;
}

}  // namespace

DecodeResult DecodeJpeg2000(std::span<const uint8_t> bytes, const DecodeOptions& options,
                            bool jp2_boxes) {
  const ImageFormat format = jp2_boxes ? ImageFormat::kJp2 : ImageFormat::kJ2k;
  J2kInput input;
  input.bytes = bytes;
  std::unique_ptr<opj_codec_t, CodecCloser> codec(
      opj_create_decompress(jp2_boxes ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K));
  if (!codec) return Failure(format, "out of memory");
  opj_set_error_handler(codec.get(), J2kError, &input);
  opj_set_warning_handler(codec.get(), J2kWarning, &input);
  opj_set_info_handler(codec.get(), J2kInfo, &input);
  opj_dparameters_t parameters;
  opj_set_default_decoder_parameters(&parameters);
  if (!opj_setup_decoder(codec.get(), &parameters)) return Failure(format, "decoder setup failed");
  // Decode what a cut codestream holds instead of refusing it.
  opj_decoder_set_strict_mode(codec.get(), OPJ_FALSE);

  std::unique_ptr<opj_stream_t, StreamCloser> stream(opj_stream_create(64 * 1024, OPJ_TRUE));
  if (!stream) return Failure(format, "out of memory");
  opj_stream_set_user_data(stream.get(), &input, nullptr);
  opj_stream_set_user_data_length(stream.get(), bytes.size());
  opj_stream_set_read_function(stream.get(), J2kRead);
  opj_stream_set_skip_function(stream.get(), J2kSkip);
  opj_stream_set_seek_function(stream.get(), J2kSeek);

  opj_image_t* raw_image = nullptr;
  if (!opj_read_header(stream.get(), codec.get(), &raw_image)) {
    opj_image_destroy(raw_image);
    return Failure(format, input.first_error.empty() ? "unreadable header" : input.first_error);
  }
  std::unique_ptr<opj_image_t, ImageCloser> image(raw_image);
  DecodeResult result;
  result.format = format;
  const uint64_t width = image->x1 > image->x0 ? image->x1 - image->x0 : 0;
  const uint64_t height = image->y1 > image->y0 ? image->y1 - image->y0 : 0;
  result.full_width = static_cast<int>(std::min<uint64_t>(width, 0x7FFFFFFF));
  result.full_height = static_cast<int>(std::min<uint64_t>(height, 0x7FFFFFFF));
  if (!SizeAllowed(width, height, options) || image->numcomps == 0 ||
      image->numcomps > kMaxComponents ||
      width * height * image->numcomps > options.max_pixels * 4) {
    return Failure(format, "picture size out of range");
  }
  if (const uint32_t reduce = ChooseReduction(codec.get(), *image, options); reduce > 0) {
    opj_set_decoded_resolution_factor(codec.get(), reduce);
  }
  input.decoding = true;
  const bool decoded = opj_decode(codec.get(), stream.get(), image.get()) &&
                       opj_end_decompress(codec.get(), stream.get());
  if (!ToPicture(*image, result.picture)) {
    return Failure(
        format, input.first_error.empty() ? "no pixel data could be decoded" : input.first_error);
  }
  if (decoded && input.warnings == 0) {
    result.status = DecodeStatus::kComplete;
  } else {
    result.status = DecodeStatus::kPartial;
    result.message = !input.first_error.empty()     ? input.first_error
                     : !input.first_warning.empty() ? input.first_warning
                                                    : "data ends early";
  }
  return result;
}

}  // namespace pictavo::decoders
