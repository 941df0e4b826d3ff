#include "imaging/image_decoder.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "imaging/decoders.h"
#include "imaging/orientation.h"
#include "platform/system_error.h"

namespace pictavo {
namespace {

bool StartsWith(std::span<const uint8_t> bytes, std::string_view magic, size_t at = 0) {
  if (bytes.size() < magic.size() || at > bytes.size() - magic.size()) return false;
  return std::memcmp(bytes.data() + at, magic.data(), magic.size()) == 0;
}

DecodeResult DecodeWith(ImageFormat format, std::span<const uint8_t> bytes,
                        const DecodeOptions& options) {
  switch (format) {
    case ImageFormat::kBmp:
      return decoders::DecodeBmp(bytes, options);
    case ImageFormat::kJpeg:
      // Shown upright by its EXIF orientation.
      return decoders::DecodeJpegOriented(bytes, options, JpegExifOrientation(bytes));
    case ImageFormat::kPng:
      return decoders::DecodePng(bytes, options);
    case ImageFormat::kGif:
      return decoders::DecodeGif(bytes, options);
    case ImageFormat::kJ2k:
      return decoders::DecodeJpeg2000(bytes, options, false);
    case ImageFormat::kJp2:
      return decoders::DecodeJpeg2000(bytes, options, true);
    case ImageFormat::kRaw:
      return decoders::DecodeRaw(bytes, options);
    case ImageFormat::kHeif:
    case ImageFormat::kAvif:
      return decoders::DecodeHeif(bytes, options, format);
    case ImageFormat::kWebp:
      return decoders::DecodeWebp(bytes, options);
    case ImageFormat::kCr3:
      return decoders::DecodeCr3(bytes, options);
    case ImageFormat::kTiff: {
      // A camera raw on TIFF structure opens as a TIFF too, but its first directory is usually a
      // thumbnail: let LibRaw claim the file first.
      DecodeResult raw = decoders::DecodeRaw(bytes, options);
      if (raw.ok()) return raw;
      DecodeResult tiff = decoders::DecodeTiff(bytes, options);
      if (tiff.ok() || raw.full_width == 0) return tiff;
      return raw;
    }
    case ImageFormat::kUnknown:
      break;
  }
  return decoders::Failure(ImageFormat::kUnknown, "not a picture format this program reads");
}

// Shrinks the decoder's picture to the caller's box when it is larger.
void ApplyFit(DecodeResult& result, const DecodeOptions& options) {
  if (!result.ok() || options.fit_width <= 0 || options.fit_height <= 0) return;
  const PictureSize fitted =
      FitWithin(result.picture.width, result.picture.height, options.fit_width, options.fit_height);
  if (fitted.width != result.picture.width || fitted.height != result.picture.height) {
    ResamplePicture(result.picture, fitted.width, fitted.height, ResampleFilter::kAreaAverage);
  }
}

}  // namespace

namespace decoders {

bool SizeAllowed(uint64_t width, uint64_t height, const DecodeOptions& options) {
  if (width == 0 || height == 0 || width > 0x7FFFFFFF || height > 0x7FFFFFFF) return false;
  return width <= options.max_pixels / height;
}

DecodeResult Failure(ImageFormat format, std::string message) {
  DecodeResult result;
  result.status = DecodeStatus::kFailed;
  result.format = format;
  result.message = std::move(message);
  return result;
}

}  // namespace decoders

std::string_view ImageFormatName(ImageFormat format) {
  switch (format) {
    case ImageFormat::kBmp:
      return "BMP";
    case ImageFormat::kJpeg:
      return "JPEG";
    case ImageFormat::kPng:
      return "PNG";
    case ImageFormat::kGif:
      return "GIF";
    case ImageFormat::kTiff:
      return "TIFF";
    case ImageFormat::kJ2k:
      return "JPEG 2000 codestream";
    case ImageFormat::kJp2:
      return "JP2";
    case ImageFormat::kRaw:
      return "camera raw";
    case ImageFormat::kHeif:
      return "HEIF";
    case ImageFormat::kAvif:
      return "AVIF";
    case ImageFormat::kWebp:
      return "WebP";
    case ImageFormat::kCr3:
      return "Canon CR3";
    case ImageFormat::kUnknown:
      break;
  }
  return "unknown";
}

std::string_view DecodeStatusName(DecodeStatus status) {
  switch (status) {
    case DecodeStatus::kComplete:
      return "complete";
    case DecodeStatus::kPartial:
      return "partial";
    case DecodeStatus::kFailed:
      break;
  }
  return "failed";
}

namespace {

// An ISO media file's picture format, from the major and compatible brands of its `ftyp` box.
ImageFormat DetectIsoBrands(std::span<const uint8_t> head) {
  using namespace std::string_view_literals;
  auto brand = [&](size_t at) {
    return std::string_view(reinterpret_cast<const char*>(head.data()) + at, 4);
  };
  const uint32_t box_size =
      uint32_t{head[0]} << 24 | uint32_t{head[1]} << 16 | uint32_t{head[2]} << 8 | head[3];
  if (box_size < 16) return ImageFormat::kUnknown;
  const std::string_view major = brand(8);
  if (major == "crx "sv) return ImageFormat::kCr3;
  if (major == "avif"sv || major == "avis"sv) return ImageFormat::kAvif;
  static constexpr std::string_view kHeifBrands[] = {"heic", "heix", "heim", "heis",
                                                     "hevc", "hevx", "hevm", "hevs"};
  for (const std::string_view b : kHeifBrands) {
    if (major == b) return ImageFormat::kHeif;
  }
  // The structural brands say only "an image file": the compatible brands name the codec.
  if (major != "mif1"sv && major != "msf1"sv && major != "mif2"sv && major != "miaf"sv) {
    return ImageFormat::kUnknown;
  }
  const size_t end = std::min<size_t>(box_size, head.size());
  for (size_t at = 16; at + 4 <= end; at += 4) {
    if (brand(at) == "avif"sv || brand(at) == "avis"sv) return ImageFormat::kAvif;
  }
  return ImageFormat::kHeif;
}

}  // namespace

ImageFormat DetectImageFormat(std::span<const uint8_t> head) {
  using namespace std::string_view_literals;
  if (StartsWith(head, "ftyp"sv, 4) && head.size() >= 12) return DetectIsoBrands(head);
  if (StartsWith(head, "RIFF"sv) && StartsWith(head, "WEBP"sv, 8)) return ImageFormat::kWebp;
  if (StartsWith(head, "\xFF\xD8\xFF"sv)) return ImageFormat::kJpeg;
  if (StartsWith(head, "\x89PNG\r\n\x1A\n"sv)) return ImageFormat::kPng;
  if (StartsWith(head, "GIF87a"sv) || StartsWith(head, "GIF89a"sv)) return ImageFormat::kGif;
  if (StartsWith(head, "\xFF\x4F\xFF\x51"sv)) return ImageFormat::kJ2k;
  if (StartsWith(head, "\x00\x00\x00\x0CjP  \r\n\x87\n"sv)) return ImageFormat::kJp2;
  // Raw types with headers of their own: Olympus and Panasonic variants of the TIFF header,
  // Canon CIFF, Fuji, Minolta and Sigma.
  if (StartsWith(head, "IIRO"sv) || StartsWith(head, "IIRS"sv) || StartsWith(head, "MMOR"sv) ||
      StartsWith(head, "IIU\0"sv) || StartsWith(head, "FUJIFILM"sv) ||
      StartsWith(head, "\0MRM"sv) || StartsWith(head, "FOVb"sv) ||
      (StartsWith(head, "II"sv) && StartsWith(head, "HEAPCCDR"sv, 6))) {
    return ImageFormat::kRaw;
  }
  if (StartsWith(head, "II*\0"sv) || StartsWith(head, "MM\0*"sv) || StartsWith(head, "II+\0"sv) ||
      StartsWith(head, "MM\0+"sv)) {
    return ImageFormat::kTiff;
  }
  if (StartsWith(head, "BM"sv)) return ImageFormat::kBmp;
  return ImageFormat::kUnknown;
}

DecodeResult DecodeImageAs(ImageFormat format, std::span<const uint8_t> bytes,
                           const DecodeOptions& options) {
  DecodeResult result = DecodeWith(format, bytes, options);
  ApplyFit(result, options);
  return result;
}

DecodeResult DecodeImage(std::span<const uint8_t> bytes, const DecodeOptions& options) {
  const ImageFormat format =
      DetectImageFormat(bytes.first(std::min<size_t>(bytes.size(), kDetectHeadSize)));
  if (format == ImageFormat::kUnknown) {
    return decoders::Failure(ImageFormat::kUnknown, "not a picture format this program reads");
  }
  return DecodeImageAs(format, bytes, options);
}

DecodeResult DecodeImageFile(const std::string& path, FormatHint hint,
                             const DecodeOptions& options) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return decoders::Failure(ImageFormat::kUnknown, SystemErrorText(errno));
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    const int error = errno;
    close(fd);
    return decoders::Failure(ImageFormat::kUnknown,
                             error ? SystemErrorText(error) : "not a regular file");
  }
  if (static_cast<uint64_t>(info.st_size) > kMaxDecodeFileSize) {
    close(fd);
    return decoders::Failure(ImageFormat::kUnknown, "file too large to decode");
  }
  const auto decode = [&](std::span<const uint8_t> bytes) {
    if (hint == FormatHint::kBitmapFirst) {
      DecodeResult bitmap = DecodeImageAs(ImageFormat::kBmp, bytes, options);
      if (bitmap.ok() || DetectImageFormat(bytes) == ImageFormat::kBmp) return bitmap;
    }
    return DecodeImage(bytes, options);
  };
  // A large file is mapped rather than read: the decoders then touch only the pages they need,
  // which for a raw's or a HEIF's preview is a small part of the file.
  const size_t size = static_cast<size_t>(info.st_size);
  if (size >= kMapFileSize) {
    void* mapped = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (mapped != MAP_FAILED) {
      close(fd);
      DecodeResult result = decode(std::span(static_cast<const uint8_t*>(mapped), size));
      munmap(mapped, size);
      return result;
    }
  }
  std::vector<uint8_t> bytes(size);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      close(fd);
      return decoders::Failure(ImageFormat::kUnknown, SystemErrorText(error));
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  bytes.resize(done);
  return decode(bytes);
}

}  // namespace pictavo
