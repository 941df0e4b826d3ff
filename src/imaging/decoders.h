#pragma once

// The decoders behind DecodeImage, one per library (and our own bitmap reader). Each gets the
// whole file in memory and the caller's options, and returns a result whose picture may still be
// larger than the fit box: DecodeImage shrinks it afterwards. None of them may crash, exit or
// throw on any input; a library error becomes a failed (or partial) result.

#include <span>

#include "imaging/image_decoder.h"

namespace pictavo::decoders {

DecodeResult DecodeBmp(std::span<const uint8_t> bytes, const DecodeOptions& options);
DecodeResult DecodeJpeg(std::span<const uint8_t> bytes, const DecodeOptions& options);
DecodeResult DecodePng(std::span<const uint8_t> bytes, const DecodeOptions& options);
DecodeResult DecodeGif(std::span<const uint8_t> bytes, const DecodeOptions& options);
DecodeResult DecodeTiff(std::span<const uint8_t> bytes, const DecodeOptions& options);
DecodeResult DecodeJpeg2000(std::span<const uint8_t> bytes, const DecodeOptions& options,
                            bool jp2_boxes);
DecodeResult DecodeRaw(std::span<const uint8_t> bytes, const DecodeOptions& options);
// HEIC/HEIF and AVIF; `format` is what the result reports (kHeif or kAvif).
DecodeResult DecodeHeif(std::span<const uint8_t> bytes, const DecodeOptions& options,
                        ImageFormat format);
DecodeResult DecodeWebp(std::span<const uint8_t> bytes, const DecodeOptions& options);
DecodeResult DecodeCr3(std::span<const uint8_t> bytes, const DecodeOptions& options);

// A JPEG shown upright: decoded (fitted with the sides swapped when the orientation turns it a
// quarter) and turned by `orientation` (EXIF values 1 to 8).
DecodeResult DecodeJpegOriented(std::span<const uint8_t> bytes, const DecodeOptions& options,
                                int orientation);

// The embedded JPEG previews of a TIFF-based raw (IFD0, the following IFDs and their SubIFDs),
// largest first, each clipped to the bytes present, shown upright by IFD0's orientation: the
// largest one that covers the request (or the largest of all) decoded. `reason` says why the raw
// data itself was not used; the result is at best partial. Failed when the file holds no preview.
DecodeResult DecodeTiffPreview(std::span<const uint8_t> bytes, const DecodeOptions& options,
                               const std::string& reason);

// True when width x height is positive and within the options' pixel limit.
bool SizeAllowed(uint64_t width, uint64_t height, const DecodeOptions& options);

// A failed result with a message.
DecodeResult Failure(ImageFormat format, std::string message);

}  // namespace pictavo::decoders
