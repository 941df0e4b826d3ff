// WebP through libwebp: lossy, lossless and either with alpha, decoded incrementally so that a
// file cut short still gives the rows it holds. Animations show their first frame, found with
// libwebpdemux and placed on the transparent canvas. A fitted still is decoded at the reduced
// size by the library's own scaler.
#include <webp/decode.h>
#include <webp/demux.h>

#include <algorithm>
#include <bit>
#include <memory>

#include "imaging/decoders.h"

namespace pictavo::decoders {
namespace {

// Bytes B, G, R, A in memory are the 32-bit value 0xAARRGGBB on a little-endian machine.
constexpr WEBP_CSP_MODE kPixelMode =
    std::endian::native == std::endian::little ? MODE_BGRA : MODE_ARGB;

std::string StatusText(VP8StatusCode status) {
  switch (status) {
    case VP8_STATUS_OUT_OF_MEMORY:
      return "out of memory";
    case VP8_STATUS_INVALID_PARAM:
      return "invalid parameter";
    case VP8_STATUS_BITSTREAM_ERROR:
      return "damaged WebP data";
    case VP8_STATUS_UNSUPPORTED_FEATURE:
      return "unsupported WebP feature";
    case VP8_STATUS_SUSPENDED:
    case VP8_STATUS_NOT_ENOUGH_DATA:
      return "data ends early";
    default:
      break;
  }
  return "WebP error";
}

struct IDecoderFree {
  void operator()(WebPIDecoder* p) const { WebPIDelete(p); }
};
struct DemuxFree {
  void operator()(WebPDemuxer* p) const { WebPDemuxDelete(p); }
};

// Decodes one WebP bitstream (a whole simple file, or an animation frame's fragment) into
// `picture` at (left, top), scaled to scaled_w x scaled_h when those are positive. Returns the
// status of the decode and the number of rows delivered.
struct Rows {
  VP8StatusCode status = VP8_STATUS_BITSTREAM_ERROR;
  int done = 0;
};
Rows DecodeInto(std::span<const uint8_t> data, Picture& picture, int left, int top, int width,
                int height, bool scaled) {
  Rows rows;
  WebPDecoderConfig config;
  if (!WebPInitDecoderConfig(&config)) return rows;
  if (scaled) {
    config.options.use_scaling = 1;
    config.options.scaled_width = width;
    config.options.scaled_height = height;
  }
  config.output.colorspace = kPixelMode;
  config.output.is_external_memory = 1;
  config.output.width = width;
  config.output.height = height;
  const size_t stride = static_cast<size_t>(picture.width) * 4;
  config.output.u.RGBA.rgba = reinterpret_cast<uint8_t*>(picture.Row(top) + left);
  config.output.u.RGBA.stride = static_cast<int>(stride);
  config.output.u.RGBA.size = stride * static_cast<size_t>(height - 1) + size_t(width) * 4;
  std::unique_ptr<WebPIDecoder, IDecoderFree> decoder(WebPIDecode(nullptr, 0, &config));
  if (!decoder) {
    rows.status = VP8_STATUS_OUT_OF_MEMORY;
    return rows;
  }
  rows.status = WebPIAppend(decoder.get(), data.data(), data.size());
  int last_y = 0, w = 0, h = 0, s = 0;
  if (WebPIDecGetRGB(decoder.get(), &last_y, &w, &h, &s)) rows.done = std::clamp(last_y, 0, height);
  if (rows.status == VP8_STATUS_OK) rows.done = height;
  return rows;
}

}  // namespace

DecodeResult DecodeWebp(std::span<const uint8_t> bytes, const DecodeOptions& options) {
  WebPBitstreamFeatures features;
  const VP8StatusCode status = WebPGetFeatures(bytes.data(), bytes.size(), &features);
  if (status != VP8_STATUS_OK) return Failure(ImageFormat::kWebp, StatusText(status));

  DecodeResult result;
  result.format = ImageFormat::kWebp;
  result.full_width = features.width;
  result.full_height = features.height;
  if (!SizeAllowed(static_cast<uint64_t>(std::max(0, features.width)),
                   static_cast<uint64_t>(std::max(0, features.height)), options)) {
    DecodeResult failure = Failure(ImageFormat::kWebp, "picture size out of range");
    failure.full_width = features.width;
    failure.full_height = features.height;
    return failure;
  }

  Rows rows;
  if (!features.has_animation) {
    // A fitted still comes out of the decoder at its fitted size.
    PictureSize size{features.width, features.height};
    if (options.fit_width > 0 && options.fit_height > 0) {
      size = FitWithin(features.width, features.height, options.fit_width, options.fit_height);
    }
    if (!result.picture.Allocate(size.width, size.height)) {
      return Failure(ImageFormat::kWebp, "out of memory");
    }
    const bool scaled = size.width != features.width || size.height != features.height;
    rows = DecodeInto(bytes, result.picture, 0, 0, size.width, size.height, scaled);
  } else {
    // The first frame on a transparent canvas; the demuxer accepts a file cut after it.
    const WebPData data{bytes.data(), bytes.size()};
    WebPDemuxState state = WEBP_DEMUX_PARSE_ERROR;
    std::unique_ptr<WebPDemuxer, DemuxFree> demux(WebPDemuxPartial(&data, &state));
    if (!demux || state < WEBP_DEMUX_PARSED_HEADER) {
      return Failure(ImageFormat::kWebp, "animation could not be read");
    }
    WebPIterator frame;
    if (!WebPDemuxGetFrame(demux.get(), 1, &frame)) {
      return Failure(ImageFormat::kWebp, "the animation's first frame is missing");
    }
    const int left = frame.x_offset, top = frame.y_offset;
    const int width = frame.width, height = frame.height;
    const std::span<const uint8_t> fragment(frame.fragment.bytes, frame.fragment.size);
    WebPDemuxReleaseIterator(&frame);
    if (width <= 0 || height <= 0 || left < 0 || top < 0 || left > features.width - width ||
        top > features.height - height) {
      return Failure(ImageFormat::kWebp, "the first frame lies outside the canvas");
    }
    if (!result.picture.Allocate(features.width, features.height, 0)) {
      return Failure(ImageFormat::kWebp, "out of memory");
    }
    rows = DecodeInto(fragment, result.picture, left, top, width, height, false);
  }

  if (rows.status == VP8_STATUS_OK) {
    result.status = DecodeStatus::kComplete;
    return result;
  }
  if (rows.done <= 0) {
    DecodeResult failure = Failure(ImageFormat::kWebp, StatusText(rows.status));
    failure.full_width = features.width;
    failure.full_height = features.height;
    return failure;
  }
  result.status = DecodeStatus::kPartial;
  result.message = StatusText(rows.status);
  return result;
}

}  // namespace pictavo::decoders
