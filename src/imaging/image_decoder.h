#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "imaging/picture.h"

namespace pictavo {

// The picture formats the decoding layer reads. Every camera raw type is kRaw (LibRaw tells them
// apart itself), except Canon's CR3, which sits in an ISO media file like HEIF and AVIF and is
// told apart by its brand.
enum class ImageFormat {
  kUnknown,
  kBmp,
  kJpeg,
  kPng,
  kGif,
  kTiff,
  kJ2k,
  kJp2,
  kRaw,
  kHeif,  // HEIC and other HEIF pictures
  kAvif,
  kWebp,
  kCr3,
};

std::string_view ImageFormatName(ImageFormat format);

// The format a file's first bytes announce, by signature only. Classic TIFF headers are kTiff:
// the TIFF-based raw types (CR2, NEF, DNG, ARW, PEF) share them, and DecodeImage asks LibRaw
// before libtiff. An ISO media file is told by the brands of its leading `ftyp` box, which may
// list its compatible brands over more bytes: kDetectHeadSize bytes are enough for every format;
// fewer give kUnknown unless a shorter signature matches.
constexpr size_t kDetectHeadSize = 64;
ImageFormat DetectImageFormat(std::span<const uint8_t> head);

enum class DecodeStatus {
  // Every pixel came from the file's data.
  kComplete,
  // A picture came out, but the data ended early or was damaged on the way (a carved file that
  // was cut short or overwritten): some pixels are filler.
  kPartial,
  // No picture.
  kFailed,
};

std::string_view DecodeStatusName(DecodeStatus status);  // "complete", "partial", "failed"

// The largest picture any decoder produces, in pixels (about 500 MB of memory at 4 bytes each).
// A header that asks for more is refused instead of trusted.
constexpr uint64_t kDefaultMaxPixels = 125'000'000;

struct DecodeOptions {
  // When both are positive, the picture is delivered shrunk to fit this box (FitWithin), never
  // enlarged; decoders that can decode at a reduced scale (JPEG, JPEG 2000, raw previews) do so,
  // which is much faster than decoding at full size and shrinking.
  int fit_width = 0;
  int fit_height = 0;
  uint64_t max_pixels = kDefaultMaxPixels;
  // For camera raws: also decompress the raw sensor data even when the embedded preview is used
  // for the picture, so that damage to the raw data is seen in the status. Costs time.
  bool check_raw_data = false;
  // LibRaw is stopped when it has read for this long: some damaged raws make its parsers loop.
  std::chrono::milliseconds raw_time_limit{30'000};
};

struct DecodeResult {
  DecodeStatus status = DecodeStatus::kFailed;
  ImageFormat format = ImageFormat::kUnknown;
  Picture picture;
  // The size the file declares, as the picture is shown (turned upright when the file says how),
  // before any fitting (0 when unknown).
  int full_width = 0;
  int full_height = 0;
  // Why a decode failed or was partial, for logs and the command line; empty when complete.
  std::string message;

  bool ok() const { return status != DecodeStatus::kFailed; }
};

// Decodes a picture held in memory, finding its format from its content.
DecodeResult DecodeImage(std::span<const uint8_t> bytes, const DecodeOptions& options = {});

// Decodes with one given decoder, without looking at the signature (for tests and for callers
// that know the format).
DecodeResult DecodeImageAs(ImageFormat format, std::span<const uint8_t> bytes,
                           const DecodeOptions& options = {});

// How a file is loaded from a path: kDetect finds the format from the content; kBitmapFirst tries
// the file as a Windows bitmap first and then finds the format from the content.
enum class FormatHint { kDetect = 0, kBitmapFirst = 1 };

// Files larger than this are not read into memory for decoding.
constexpr uint64_t kMaxDecodeFileSize = uint64_t{1} << 30;

// Files of this size or larger are mapped into memory instead of read whole, so that decoding an
// embedded preview reads only the preview's pages. The file must not shrink while it is decoded
// (the preview's own temporary copy never does).
constexpr uint64_t kMapFileSize = uint64_t{16} << 20;

// Reads the file at `path` and decodes it. A file that cannot be read fails with the system's
// reason in the message.
DecodeResult DecodeImageFile(const std::string& path, FormatHint hint,
                             const DecodeOptions& options = {});

}  // namespace pictavo
