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

// True when width x height is positive and within the options' pixel limit.
bool SizeAllowed(uint64_t width, uint64_t height, const DecodeOptions& options);

// A failed result with a message.
DecodeResult Failure(ImageFormat format, std::string message);

}  // namespace pictavo::decoders
