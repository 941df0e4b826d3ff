// HEIC, HEIF and AVIF through libheif, which reads the ISO media structure, decodes the HEVC or
// AV1 data (through libde265, libaom or dav1d), assembles grid pictures from their tiles and
// applies the file's own transforms (rotation, mirroring, cropping): the picture comes out upright
// and no EXIF orientation is applied on top. Only the primary picture is shown; depth maps, gain
// maps and the frames of a sequence are left alone. Deeper samples (10 and 12 bits) are brought
// down to 8.
#include <libheif/heif.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "imaging/decoders.h"

namespace pictavo::decoders {
namespace {

// Thumbnails listed for a picture; real files have one or two.
constexpr int kMaxThumbnails = 16;
// Grid tiles are decoded on this many threads.
constexpr int kDecodingThreads = 2;

struct ContextFree {
  void operator()(heif_context* p) const { heif_context_free(p); }
};
struct HandleFree {
  void operator()(heif_image_handle* p) const { heif_image_handle_release(p); }
};
struct ImageFree {
  void operator()(heif_image* p) const { heif_image_release(p); }
};
struct OptionsFree {
  void operator()(heif_decoding_options* p) const { heif_decoding_options_free(p); }
};
using Context = std::unique_ptr<heif_context, ContextFree>;
using Handle = std::unique_ptr<heif_image_handle, HandleFree>;
using Image = std::unique_ptr<heif_image, ImageFree>;

std::string ErrorText(const heif_error& error) {
  return error.message && *error.message ? error.message : "HEIF error";
}

struct Decoded {
  bool ok = false;
  Picture picture;
  std::string message;  // the failure, or the library's warnings for a damaged picture
  bool damaged = false;
};

// Decodes one image item to 8-bit RGB(A).
Decoded DecodeHandle(heif_image_handle* handle, const DecodeOptions& options) {
  Decoded out;
  const int w = heif_image_handle_get_width(handle), h = heif_image_handle_get_height(handle);
  if (w <= 0 || h <= 0 ||
      !SizeAllowed(static_cast<uint64_t>(w), static_cast<uint64_t>(h), options)) {
    out.message = "picture size out of range";
    return out;
  }
  const bool alpha = heif_image_handle_has_alpha_channel(handle) != 0;
  std::unique_ptr<heif_decoding_options, OptionsFree> decoding(heif_decoding_options_alloc());
  if (!decoding) {
    out.message = "out of memory";
    return out;
  }
  decoding->convert_hdr_to_8bit = 1;
  heif_image* raw_image = nullptr;
  const heif_error error = heif_decode_image(
      handle, &raw_image, heif_colorspace_RGB,
      alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, decoding.get());
  Image image(raw_image);
  if (error.code != heif_error_Ok || !image) {
    out.message = ErrorText(error);
    return out;
  }
  const int iw = heif_image_get_width(image.get(), heif_channel_interleaved);
  const int ih = heif_image_get_height(image.get(), heif_channel_interleaved);
  const int bits = heif_image_get_bits_per_pixel_range(image.get(), heif_channel_interleaved);
  int stride = 0;
  const uint8_t* plane =
      heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
  const int channels = alpha ? 4 : 3;
  if (!plane || bits != 8 || iw <= 0 || ih <= 0 || stride < iw * channels ||
      !SizeAllowed(static_cast<uint64_t>(iw), static_cast<uint64_t>(ih), options)) {
    out.message = "decoded picture in an unexpected layout";
    return out;
  }
  if (!out.picture.Allocate(iw, ih)) {
    out.message = "out of memory";
    return out;
  }
  for (int y = 0; y < ih; ++y) {
    const uint8_t* in = plane + static_cast<size_t>(y) * static_cast<size_t>(stride);
    uint32_t* row = out.picture.Row(y);
    for (int x = 0; x < iw; ++x, in += channels) {
      row[x] = PackArgb(alpha ? in[3] : 255, in[0], in[1], in[2]);
    }
  }
  // A damaged tile or a cut stream that the decoder got past comes back as a warning.
  heif_error warnings[4];
  const int count = heif_image_get_decoding_warnings(image.get(), 0, warnings, 4);
  if (count > 0) {
    out.damaged = true;
    out.message = ErrorText(warnings[0]);
  }
  out.ok = true;
  return out;
}

// The thumbnails of the primary picture, with their sizes.
struct Thumbnail {
  Handle handle;
  int width = 0;
  int height = 0;
};
std::vector<Thumbnail> ThumbnailsOf(heif_image_handle* primary) {
  std::vector<Thumbnail> thumbnails;
  const int count = std::min(heif_image_handle_get_number_of_thumbnails(primary), kMaxThumbnails);
  if (count <= 0) return thumbnails;
  heif_item_id ids[kMaxThumbnails];
  const int listed = heif_image_handle_get_list_of_thumbnail_IDs(primary, ids, count);
  for (int i = 0; i < listed; ++i) {
    heif_image_handle* raw = nullptr;
    if (heif_image_handle_get_thumbnail(primary, ids[i], &raw).code != heif_error_Ok || !raw) {
      continue;
    }
    Thumbnail t{Handle(raw), heif_image_handle_get_width(raw), heif_image_handle_get_height(raw)};
    if (t.width > 0 && t.height > 0) thumbnails.push_back(std::move(t));
  }
  // Smallest first.
  std::sort(thumbnails.begin(), thumbnails.end(), [](const Thumbnail& a, const Thumbnail& b) {
    return uint64_t(a.width) * a.height < uint64_t(b.width) * b.height;
  });
  return thumbnails;
}

DecodeResult Run(std::span<const uint8_t> bytes, const DecodeOptions& options, ImageFormat format) {
  Context context(heif_context_alloc());
  if (!context) return Failure(format, "out of memory");
  heif_context_set_max_decoding_threads(context.get(), kDecodingThreads);
  heif_error error = heif_context_read_from_memory_without_copy(context.get(), bytes.data(),
                                                                bytes.size(), nullptr);
  if (error.code != heif_error_Ok) return Failure(format, ErrorText(error));
  heif_image_handle* raw_primary = nullptr;
  error = heif_context_get_primary_image_handle(context.get(), &raw_primary);
  Handle primary(raw_primary);
  if (error.code != heif_error_Ok || !primary) return Failure(format, ErrorText(error));

  DecodeResult result;
  result.format = format;
  result.full_width = heif_image_handle_get_width(primary.get());
  result.full_height = heif_image_handle_get_height(primary.get());
  if (!SizeAllowed(static_cast<uint64_t>(std::max(0, result.full_width)),
                   static_cast<uint64_t>(std::max(0, result.full_height)), options)) {
    DecodeResult failure = Failure(format, "picture size out of range");
    failure.full_width = result.full_width;
    failure.full_height = result.full_height;
    return failure;
  }
  std::vector<Thumbnail> thumbnails = ThumbnailsOf(primary.get());

  // A fitted request that a thumbnail covers is served from it: a phone's 48-tile grid takes far
  // longer to decode than the picture shown in a preview pane needs.
  if (options.fit_width > 0 && options.fit_height > 0) {
    const PictureSize wanted =
        FitWithin(result.full_width, result.full_height, options.fit_width, options.fit_height);
    for (Thumbnail& t : thumbnails) {
      if (t.width < wanted.width || t.height < wanted.height) continue;
      Decoded thumb = DecodeHandle(t.handle.get(), options);
      if (!thumb.ok || thumb.damaged) break;  // the primary picture may still be whole
      // Some cameras crop or letterbox their thumbnails: only one of the picture's own shape
      // will do.
      const int64_t skew = int64_t{thumb.picture.width} * result.full_height -
                           int64_t{thumb.picture.height} * result.full_width;
      if (std::abs(skew) > std::max(result.full_width, result.full_height)) break;
      result.picture = std::move(thumb.picture);
      result.status = DecodeStatus::kComplete;
      return result;
    }
  }

  Decoded decoded = DecodeHandle(primary.get(), options);
  if (decoded.ok) {
    result.picture = std::move(decoded.picture);
    result.status = decoded.damaged ? DecodeStatus::kPartial : DecodeStatus::kComplete;
    result.message = decoded.damaged ? decoded.message : "";
    return result;
  }
  // The primary picture is cut or damaged: its thumbnail, largest first, still shows the photo.
  for (auto t = thumbnails.rbegin(); t != thumbnails.rend(); ++t) {
    Decoded thumb = DecodeHandle(t->handle.get(), options);
    if (!thumb.ok) continue;
    result.picture = std::move(thumb.picture);
    result.status = DecodeStatus::kPartial;
    result.message = decoded.message + " (showing the embedded thumbnail)";
    return result;
  }
  DecodeResult failure = Failure(format, decoded.message);
  failure.full_width = result.full_width;
  failure.full_height = result.full_height;
  return failure;
}

}  // namespace

DecodeResult DecodeHeif(std::span<const uint8_t> bytes, const DecodeOptions& options,
                        ImageFormat format) {
  // libheif catches its own exceptions; this is a guard against one slipping through all the same.
  try {
    return Run(bytes, options, format);
  } catch (const std::bad_alloc&) {
    return Failure(format, "out of memory");
  } catch (...) {
    return Failure(format, "HEIF decoder error");
  }
}

}  // namespace pictavo::decoders
