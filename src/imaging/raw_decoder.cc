// Camera raws through LibRaw. Most cameras embed a JPEG preview, often at full size: when it is
// large enough for the request it is the picture (fast, and the colours the camera chose);
// otherwise the sensor data is demosaiced. LibRaw reports problems through return codes and a
// data-error callback and keeps its own exceptions inside its calls.
#include <libraw/libraw.h>

#include <algorithm>
#include <memory>
#include <new>
#include <string>

#include "formats/byte_reader.h"
#include "imaging/decoders.h"

namespace pictavo::decoders {
namespace {

struct RawErrors {
  int data_errors = 0;
};

extern "C" void RawDataError(void* data, const char*, const int) {
  ++static_cast<RawErrors*>(data)->data_errors;
}
extern "C" void RawMemoryError(void*, const char*, const char*) {}

std::string RawErrorText(int code) {
  const char* text = libraw_strerror(code);
  return text ? text : "LibRaw error";
}

// The embedded preview, when it is a JPEG or a plain bitmap; a failed result otherwise.
DecodeResult DecodePreview(LibRaw& raw, const DecodeOptions& options) {
  if (raw.unpack_thumb() != LIBRAW_SUCCESS) return Failure(ImageFormat::kRaw, "no preview");
  const libraw_thumbnail_t& thumb = raw.imgdata.thumbnail;
  if (!thumb.thumb || thumb.tlength == 0) return Failure(ImageFormat::kRaw, "no preview");
  const std::span<const uint8_t> data(reinterpret_cast<const uint8_t*>(thumb.thumb), thumb.tlength);
  if (thumb.tformat == LIBRAW_THUMBNAIL_JPEG) return DecodeJpeg(data, options);
  if (thumb.tformat == LIBRAW_THUMBNAIL_BITMAP) {
    const uint64_t w = thumb.twidth, h = thumb.theight;
    if (!SizeAllowed(w, h, options) || w * h * 3 > data.size()) {
      return Failure(ImageFormat::kRaw, "damaged preview");
    }
    DecodeResult result;
    if (!result.picture.Allocate(static_cast<int>(w), static_cast<int>(h))) {
      return Failure(ImageFormat::kRaw, "out of memory");
    }
    for (size_t i = 0; i < w * h; ++i) {
      result.picture.pixels[i] = PackRgb(data[i * 3], data[i * 3 + 1], data[i * 3 + 2]);
    }
    result.full_width = static_cast<int>(w);
    result.full_height = static_cast<int>(h);
    result.status = DecodeStatus::kComplete;
    return result;
  }
  return Failure(ImageFormat::kRaw, "preview in an unsupported layout");
}

// Demosaics the sensor data (unpack must have succeeded) into the picture.
bool Develop(LibRaw& raw, DecodeResult& result, std::string* error) {
  int code = raw.dcraw_process();
  if (code != LIBRAW_SUCCESS) {
    *error = RawErrorText(code);
    return false;
  }
  libraw_processed_image_t* image = raw.dcraw_make_mem_image(&code);
  if (!image) {
    *error = RawErrorText(code);
    return false;
  }
  const uint64_t w = image->width, h = image->height, colours = image->colors;
  const uint64_t bytes_per_sample = image->bits == 16 ? 2 : 1;
  bool ok = image->type == LIBRAW_IMAGE_BITMAP && (colours == 1 || colours == 3) &&
            w * h * colours * bytes_per_sample <= image->data_size &&
            result.picture.Allocate(static_cast<int>(w), static_cast<int>(h));
  if (ok) {
    const uint8_t* data = image->data;
    for (size_t i = 0; i < w * h; ++i) {
      uint32_t c[3];
      for (uint64_t k = 0; k < 3; ++k) {
        const size_t at = (i * colours + (colours == 1 ? 0 : k)) * bytes_per_sample;
        // 16-bit samples are in the machine's order; the high byte is enough for the picture.
        c[k] =
            bytes_per_sample == 2 ? reinterpret_cast<const uint16_t*>(data)[at / 2] >> 8 : data[at];
      }
      result.picture.pixels[i] = PackRgb(c[0], c[1], c[2]);
    }
  } else {
    *error = "unusable developed image";
  }
  LibRaw::dcraw_clear_mem(image);
  return ok;
}

// Sigma's X3F files, which this LibRaw no longer develops, carry JPEG previews of their own: the
// directory (its offset in the file's last four bytes) lists image sections, and a section of
// data format 18 holds a JPEG after its 28-byte header. The largest one is the picture.
DecodeResult DecodeX3fPreview(std::span<const uint8_t> bytes, const DecodeOptions& options) {
  constexpr uint32_t kMaxEntries = 1000;  // real files have a handful
  constexpr uint32_t kJpegData = 18;
  const ByteReader in(bytes, Endian::kLittle);
  if (!in.Matches(0, "FOVb") || bytes.size() < 4) return Failure(ImageFormat::kRaw, "not X3F");
  const auto directory = in.U32At(bytes.size() - 4);
  const auto count = directory ? in.U32At(size_t{*directory} + 8) : std::nullopt;
  if (!directory || !in.Matches(*directory, "SECd") || !count) {
    return Failure(ImageFormat::kRaw, "X3F directory missing");
  }
  std::span<const uint8_t> best;
  for (uint32_t i = 0; i < std::min(*count, kMaxEntries); ++i) {
    const size_t entry = size_t{*directory} + 12 + size_t{i} * 12;
    const auto offset = in.U32At(entry), length = in.U32At(entry + 4);
    if (!offset || !length || !(in.Matches(entry + 8, "IMAG") || in.Matches(entry + 8, "IMA2"))) {
      continue;
    }
    const auto format = in.U32At(size_t{*offset} + 12);
    if (!in.Matches(*offset, "SECi") || !format || *format != kJpegData || *length <= 28 ||
        !in.Has(*offset, *length)) {
      continue;
    }
    if (*length - 28 > best.size()) best = bytes.subspan(size_t{*offset} + 28, *length - 28);
  }
  if (best.empty()) return Failure(ImageFormat::kRaw, "no JPEG preview in the X3F file");
  DecodeResult result = DecodeJpeg(best, options);
  result.format = ImageFormat::kRaw;
  return result;
}

}  // namespace

DecodeResult DecodeRaw(std::span<const uint8_t> bytes, const DecodeOptions& options) {
  std::unique_ptr<LibRaw> raw;
  try {
    raw = std::make_unique<LibRaw>(LIBRAW_OPIONS_NO_MEMERR_CALLBACK |
                                   LIBRAW_OPIONS_NO_DATAERR_CALLBACK);
  } catch (const std::bad_alloc&) {
    return Failure(ImageFormat::kRaw, "out of memory");
  }
  RawErrors errors;
  raw->set_dataerror_handler(RawDataError, &errors);
  raw->set_memerror_handler(RawMemoryError, nullptr);
  int code = raw->open_buffer(const_cast<uint8_t*>(bytes.data()), bytes.size());
  if (code != LIBRAW_SUCCESS) {
    DecodeResult x3f = DecodeX3fPreview(bytes, options);
    return x3f.ok() ? x3f : Failure(ImageFormat::kRaw, RawErrorText(code));
  }

  const libraw_image_sizes_t& sizes = raw->imgdata.sizes;
  if (!SizeAllowed(sizes.raw_width, sizes.raw_height, options) ||
      !SizeAllowed(sizes.width, sizes.height, options)) {
    return Failure(ImageFormat::kRaw, "picture size out of range");
  }
  // The picture as the camera shows it: rotated a quarter turn when the orientation says so.
  const bool turned = (sizes.flip & 4) != 0;
  const int full_width = turned ? sizes.height : sizes.width;
  const int full_height = turned ? sizes.width : sizes.height;

  // The preview is large enough when it covers what the caller will see: the fitted size, or
  // at least half the sensor's size for a full-size request.
  PictureSize wanted = {std::max(1, full_width / 2), std::max(1, full_height / 2)};
  if (options.fit_width > 0 && options.fit_height > 0) {
    wanted = FitWithin(full_width, full_height, options.fit_width, options.fit_height);
  }
  DecodeResult preview = DecodePreview(*raw, options);
  const bool preview_usable = preview.ok() && std::max(preview.full_width, preview.full_height) >=
                                                  std::max(wanted.width, wanted.height);

  DecodeResult result;
  result.format = ImageFormat::kRaw;
  result.full_width = full_width;
  result.full_height = full_height;
  if (preview_usable) {
    result.picture = std::move(preview.picture);
    result.status = preview.status;
    result.message = preview.message;
    if (!options.check_raw_data) return result;
    code = raw->unpack();
    if (code == LIBRAW_OUT_OF_ORDER_CALL) {
      code = raw->open_buffer(const_cast<uint8_t*>(bytes.data()), bytes.size());
      if (code == LIBRAW_SUCCESS) code = raw->unpack();
    }
    if (code != LIBRAW_SUCCESS || errors.data_errors > 0) {
      result.status = DecodeStatus::kPartial;
      result.message = code != LIBRAW_SUCCESS ? "raw data: " + RawErrorText(code)
                                              : "raw data damaged or cut short";
    }
    return result;
  }

  // A fitted request small enough for half the sensor resolution skips interpolation.
  raw->imgdata.params.output_bps = 8;
  raw->imgdata.params.use_camera_wb = 1;
  if (options.fit_width > 0 && options.fit_height > 0 && wanted.width <= full_width / 2 &&
      wanted.height <= full_height / 2) {
    raw->imgdata.params.half_size = 1;
  }
  code = raw->unpack();
  if (code == LIBRAW_OUT_OF_ORDER_CALL) {
    // A failure while reading the preview resets LibRaw: open the file again for the sensor data.
    code = raw->open_buffer(const_cast<uint8_t*>(bytes.data()), bytes.size());
    if (code == LIBRAW_SUCCESS) code = raw->unpack();
  }
  if (code != LIBRAW_SUCCESS) {
    if (preview.ok()) {  // a small preview is better than nothing
      preview.format = ImageFormat::kRaw;
      preview.status = DecodeStatus::kPartial;
      preview.message = "raw data: " + RawErrorText(code);
      preview.full_width = full_width;
      preview.full_height = full_height;
      return preview;
    }
    DecodeResult failure = Failure(ImageFormat::kRaw, RawErrorText(code));
    failure.full_width = full_width;
    failure.full_height = full_height;
    return failure;
  }
  std::string error;
  if (!Develop(*raw, result, &error)) {
    DecodeResult failure = Failure(ImageFormat::kRaw, error);
    failure.full_width = full_width;
    failure.full_height = full_height;
    return failure;
  }
  result.status = errors.data_errors > 0 ? DecodeStatus::kPartial : DecodeStatus::kComplete;
  if (errors.data_errors > 0) result.message = "raw data damaged or cut short";
  return result;
}

}  // namespace pictavo::decoders
