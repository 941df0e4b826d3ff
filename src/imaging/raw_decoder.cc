// Camera raws through LibRaw. Most cameras embed a JPEG preview, often at full size: when it is
// large enough for the request it is the picture (fast, and the colours the camera chose);
// otherwise the sensor data is demosaiced. LibRaw reports problems through return codes and a
// data-error callback and keeps its own exceptions inside its calls.
#include <libraw/libraw.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "formats/byte_reader.h"
#include "imaging/decoders.h"
#include "imaging/orientation.h"

namespace pictavo::decoders {
namespace {

struct RawErrors {
  int data_errors = 0;
};

extern "C" void RawDataError(void* data, const char*, const int) {
  ++static_cast<RawErrors*>(data)->data_errors;
}
extern "C" void RawMemoryError(void*, const char*, const char*) {}

// LibRaw's parsers trust the sizes a file gives, and on some damaged files they walk in place
// forever (an item of length zero in Canon's metadata track, say). Every read LibRaw makes passes
// through this stream, so a decode that outlives its time is stopped at its next read: LibRaw
// catches the exception inside its call and returns an error code.
class TimedBufferStream : public LibRaw_buffer_datastream {
 public:
  TimedBufferStream(std::span<const uint8_t> bytes, std::chrono::milliseconds limit)
      : LibRaw_buffer_datastream(const_cast<uint8_t*>(bytes.data()), bytes.size()),
        deadline_(std::chrono::steady_clock::now() + limit) {}

  bool expired() const { return expired_; }

  int read(void* to, size_t size, size_t count) override {
    Tick();
    return LibRaw_buffer_datastream::read(to, size, count);
  }
  int seek(INT64 offset, int whence) override {
    Tick();
    return LibRaw_buffer_datastream::seek(offset, whence);
  }
  int get_char() override {
    Tick();
    return LibRaw_buffer_datastream::get_char();
  }
  char* gets(char* to, int size) override {
    Tick();
    return LibRaw_buffer_datastream::gets(to, size);
  }
  int scanf_one(const char* format, void* value) override {
    Tick();
    return LibRaw_buffer_datastream::scanf_one(format, value);
  }

 private:
  void Tick() {
    // Reading the clock on every byte would cost more than the read itself.
    if (expired_ || (++reads_ & 0xFFF) == 0) {
      if (expired_ || std::chrono::steady_clock::now() > deadline_) {
        expired_ = true;
        throw LIBRAW_EXCEPTION_IO_CORRUPT;
      }
    }
  }

  std::chrono::steady_clock::time_point deadline_;
  uint64_t reads_ = 0;
  bool expired_ = false;
};

constexpr char kRawTimeOut[] = "the raw decoder took too long (the file looks damaged)";

std::string RawErrorText(int code) {
  const char* text = libraw_strerror(code);
  return text ? text : "LibRaw error";
}

// The embedded preview, when it is a JPEG or a plain bitmap, turned upright by the raw's
// orientation (the preview is stored as the sensor saw it, like the raw data; a tag inside the
// preview itself is not applied on top); a failed result otherwise.
DecodeResult DecodePreview(LibRaw& raw, const DecodeOptions& options) {
  if (raw.unpack_thumb() != LIBRAW_SUCCESS) return Failure(ImageFormat::kRaw, "no preview");
  const libraw_thumbnail_t& thumb = raw.imgdata.thumbnail;
  if (!thumb.thumb || thumb.tlength == 0) return Failure(ImageFormat::kRaw, "no preview");
  const std::span<const uint8_t> data(reinterpret_cast<const uint8_t*>(thumb.thumb), thumb.tlength);
  const int orientation = OrientationFromRawFlip(raw.imgdata.sizes.flip);
  if (thumb.tformat == LIBRAW_THUMBNAIL_JPEG) return DecodeJpegOriented(data, options, orientation);
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
    if (!ApplyOrientation(result.picture, orientation)) {
      return Failure(ImageFormat::kRaw, "out of memory");
    }
    result.full_width = result.picture.width;
    result.full_height = result.picture.height;
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

// A JPEG stored whole inside a TIFF-based raw (the previews of DNG, CR2, NEF, ARW and others).
struct EmbeddedJpeg {
  std::span<const uint8_t> data;  // clipped to the bytes present
  int width = 0;
  int height = 0;
};

class TiffPreviewFinder {
 public:
  explicit TiffPreviewFinder(std::span<const uint8_t> bytes)
      : bytes_(bytes), in_(bytes, Endian::kLittle) {
    if (in_.Matches(0, "MM")) in_.set_order(Endian::kBig);
  }

  std::vector<EmbeddedJpeg> Find() {
    walked_ = true;
    if (!in_.Matches(0, "II") && !in_.Matches(0, "MM")) return {};
    std::optional<uint32_t> ifd = in_.U32At(4);
    // IFD0 and the directories chained after it, each with its SubIFDs.
    for (int n = 0; ifd && *ifd != 0 && n < kMaxChain; ++n) ifd = Visit(*ifd, 0);
    std::sort(found_.begin(), found_.end(), [](const EmbeddedJpeg& a, const EmbeddedJpeg& b) {
      return uint64_t(a.width) * a.height > uint64_t(b.width) * b.height;
    });
    return std::move(found_);
  }

  // The end of the furthest strip or tile of any directory (0 when none), and the start of the
  // nearest one (UINT64_MAX when none).
  uint64_t DataEnd() {
    if (!walked_) Find();
    return data_end_;
  }
  uint64_t DataStart() {
    if (!walked_) Find();
    return data_start_;
  }

 private:
  static constexpr int kMaxChain = 8;
  static constexpr int kMaxDepth = 2;
  static constexpr int kMaxDirectories = 64;
  static constexpr uint32_t kMaxEntries = 1000;
  static constexpr uint32_t kMaxSubIfds = 8;
  // Strips or tiles looked at per directory; a phone's raw has a few hundred tiles.
  static constexpr uint32_t kMaxBlocks = 65536;

  // Element `index` of an entry's SHORT or LONG array (inline when it fits in four bytes).
  std::optional<uint32_t> Element(size_t entry, uint32_t index) const {
    const auto type = in_.U16At(entry + 2);
    const auto count = in_.U32At(entry + 4);
    if (!type || !count || index >= *count || (*type != 3 && *type != 4)) return std::nullopt;
    const size_t width = *type == 3 ? 2 : 4;
    size_t at = entry + 8 + index * width;
    if (uint64_t{*count} * width > 4) {
      const auto offset = in_.U32At(entry + 8);
      if (!offset) return std::nullopt;
      at = size_t{*offset} + size_t{index} * width;
    }
    return width == 2 ? std::optional<uint32_t>(in_.U16At(at)) : in_.U32At(at);
  }

  // Raises data_end_ to the end of every block an offsets/byte-counts pair of entries lists.
  void Extend(std::optional<size_t> offsets, std::optional<size_t> counts) {
    if (!offsets || !counts) return;
    const auto n = in_.U32At(*offsets + 4);
    if (!n) return;
    for (uint32_t i = 0; i < std::min(*n, kMaxBlocks); ++i) {
      const auto offset = Element(*offsets, i), count = Element(*counts, i);
      if (!offset || !count) return;
      data_end_ = std::max(data_end_, uint64_t{*offset} + *count);
      data_start_ = std::min(data_start_, uint64_t{*offset});
    }
  }

  // One inline number of an entry with a count of 1 (SHORT or LONG).
  std::optional<uint32_t> Single(size_t entry) const {
    const auto type = in_.U16At(entry + 2);
    const auto count = in_.U32At(entry + 4);
    if (!type || !count || *count != 1) return std::nullopt;
    if (*type == 3) return in_.U16At(entry + 8);
    if (*type == 4 || *type == 13) return in_.U32At(entry + 8);
    return std::nullopt;
  }

  // Records the directory's JPEG, if it has one, and walks its SubIFDs; returns the next IFD.
  std::optional<uint32_t> Visit(uint32_t ifd, int depth) {
    if (++directories_ > kMaxDirectories) return std::nullopt;
    const auto count = in_.U16At(ifd);
    if (!count) return std::nullopt;
    std::optional<uint32_t> compression, photometric, strip, strip_length, jpeg, jpeg_length;
    std::vector<uint32_t> sub_ifds;
    std::optional<size_t> strips, strip_counts, tiles, tile_counts;
    const uint32_t entries = std::min<uint32_t>(*count, kMaxEntries);
    for (uint32_t i = 0; i < entries; ++i) {
      const size_t entry = size_t{ifd} + 2 + size_t{i} * 12;
      const auto tag = in_.U16At(entry);
      if (!tag) return std::nullopt;
      switch (*tag) {
        case 0x0103:
          compression = Single(entry);
          break;
        case 0x0106:
          photometric = Single(entry);
          break;
        case 0x0111:
          strip = Single(entry);
          strips = entry;
          break;
        case 0x0117:
          strip_length = Single(entry);
          strip_counts = entry;
          break;
        case 0x0144:
          tiles = entry;
          break;
        case 0x0145:
          tile_counts = entry;
          break;
        case 0x0201:
          jpeg = Single(entry);
          break;
        case 0x0202:
          jpeg_length = Single(entry);
          break;
        case 0x014A: {
          const auto n = in_.U32At(entry + 4), value = in_.U32At(entry + 8);
          if (!n || !value) break;
          if (*n == 1) {
            sub_ifds.push_back(*value);
          } else {
            for (uint32_t k = 0; k < std::min(*n, kMaxSubIfds); ++k) {
              if (const auto sub = in_.U32At(size_t{*value} + size_t{k} * 4))
                sub_ifds.push_back(*sub);
            }
          }
          break;
        }
      }
    }
    // Old-style and new-style JPEG compression of a colour picture; lossless JPEG raw data
    // (colour filter array or linear raw) is no preview.
    const bool colour_jpeg = compression && (*compression == 6 || *compression == 7) &&
                             (!photometric || *photometric == 2 || *photometric == 6);
    if (colour_jpeg && strip && strip_length) Add(*strip, *strip_length);
    Extend(strips, strip_counts);
    Extend(tiles, tile_counts);
    if (jpeg && jpeg_length) Add(*jpeg, *jpeg_length);
    if (depth < kMaxDepth) {
      for (const uint32_t sub : sub_ifds) {
        if (sub != 0) Visit(sub, depth + 1);
      }
    }
    return in_.U32At(size_t{ifd} + 2 + size_t{entries} * 12);
  }

  void Add(uint32_t offset, uint32_t length) {
    if (length == 0 || !in_.Matches(offset, "\xFF\xD8\xFF")) return;
    const auto data = bytes_.subspan(offset, std::min<size_t>(length, bytes_.size() - offset));
    const auto size = JpegSize(data);
    if (!size) return;
    for (const EmbeddedJpeg& known : found_) {
      if (known.data.data() == data.data()) return;
    }
    found_.push_back({data, size->width, size->height});
  }

  std::span<const uint8_t> bytes_;
  ByteReader in_;
  std::vector<EmbeddedJpeg> found_;
  int directories_ = 0;
  uint64_t data_end_ = 0;
  uint64_t data_start_ = UINT64_MAX;
  bool walked_ = false;
};

constexpr char kRawDataCut[] = "raw data missing: the file ends early";

}  // namespace

DecodeResult DecodeTiffPreview(std::span<const uint8_t> bytes, const DecodeOptions& options,
                               const std::string& reason) {
  const std::vector<EmbeddedJpeg> previews = TiffPreviewFinder(bytes).Find();
  if (previews.empty()) return Failure(ImageFormat::kRaw, reason + "; no embedded preview");
  const int orientation = TiffOrientation(bytes);
  const bool turned = OrientationSwapsSides(orientation);
  auto upright = [&](const EmbeddedJpeg& p) {
    return turned ? PictureSize{p.height, p.width} : PictureSize{p.width, p.height};
  };
  const PictureSize largest = upright(previews[0]);
  // The smallest preview that covers what the caller will see, else the largest one.
  size_t first = 0;
  if (options.fit_width > 0 && options.fit_height > 0) {
    const PictureSize wanted =
        FitWithin(largest.width, largest.height, options.fit_width, options.fit_height);
    for (size_t i = 1; i < previews.size(); ++i) {
      const PictureSize size = upright(previews[i]);
      if (size.width >= wanted.width && size.height >= wanted.height) first = i;
    }
  }
  std::string last_error;
  for (size_t k = 0; k < previews.size(); ++k) {
    const EmbeddedJpeg& preview = previews[(first + k) % previews.size()];
    DecodeResult result = DecodeJpegOriented(preview.data, options, orientation);
    if (!result.ok()) {
      last_error = result.message;
      continue;
    }
    result.format = ImageFormat::kRaw;
    result.status = DecodeStatus::kPartial;
    result.message = reason + "; showing the embedded preview" +
                     (result.message.empty() ? "" : " (" + result.message + ")");
    result.full_width = largest.width;
    result.full_height = largest.height;
    return result;
  }
  return Failure(ImageFormat::kRaw, reason + "; embedded preview: " + last_error);
}

namespace {

// True when IFD0 of a TIFF-structured file holds the DNGVersion tag.
bool IsDng(std::span<const uint8_t> bytes) {
  ByteReader in(bytes, Endian::kLittle);
  if (in.Matches(0, "MM")) {
    in.set_order(Endian::kBig);
  } else if (!in.Matches(0, "II")) {
    return false;
  }
  const auto ifd = in.U32At(4);
  const auto count = ifd ? in.U16At(*ifd) : std::nullopt;
  if (!count) return false;
  for (uint32_t i = 0; i < std::min<uint32_t>(*count, 1000); ++i) {
    const auto tag = in.U16At(size_t{*ifd} + 2 + size_t{i} * 12);
    if (!tag) return false;
    if (*tag == 0xC612) return true;
  }
  return false;
}

DecodeResult WithFullSize(DecodeResult result, int width, int height) {
  if (width > 0 && height > 0) {
    result.full_width = width;
    result.full_height = height;
  }
  return result;
}

}  // namespace

DecodeResult DecodeRaw(std::span<const uint8_t> bytes, const DecodeOptions& options) {
  // Declared first: LibRaw holds on to the stream until it is destroyed itself.
  std::unique_ptr<TimedBufferStream> stream;
  std::unique_ptr<LibRaw> raw;
  try {
    stream = std::make_unique<TimedBufferStream>(bytes, options.raw_time_limit);
    raw = std::make_unique<LibRaw>(LIBRAW_OPIONS_NO_MEMERR_CALLBACK |
                                   LIBRAW_OPIONS_NO_DATAERR_CALLBACK);
  } catch (const std::bad_alloc&) {
    return Failure(ImageFormat::kRaw, "out of memory");
  }
  // What LibRaw's code means, or that it was stopped for taking too long.
  auto error_text = [&](int code) {
    return stream->expired() ? std::string(kRawTimeOut) : RawErrorText(code);
  };
  RawErrors errors;
  raw->set_dataerror_handler(RawDataError, &errors);
  raw->set_memerror_handler(RawMemoryError, nullptr);
  int code = raw->open_datastream(stream.get());
  if (code != LIBRAW_SUCCESS) {
    DecodeResult x3f = DecodeX3fPreview(bytes, options);
    if (x3f.ok()) return x3f;
    // A DNG this LibRaw does not know, or one cut before its raw data, may still hold a preview.
    // (Other TIFF-structured files go on to libtiff, which reads a plain JPEG-compressed TIFF.)
    if (IsDng(bytes)) {
      DecodeResult preview = DecodeTiffPreview(bytes, options, error_text(code));
      if (preview.ok()) return preview;
    }
    return Failure(ImageFormat::kRaw, error_text(code));
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

  // LibRaw reads past the end of a cut DNG as if the missing raw data were there: measure the
  // strips and tiles first.
  TiffPreviewFinder layout(bytes);
  const bool dng = IsDng(bytes);
  const bool data_cut = dng && layout.DataEnd() > bytes.size();
  const bool data_absent = data_cut && layout.DataStart() >= bytes.size();

  DecodeResult result;
  result.format = ImageFormat::kRaw;
  result.full_width = full_width;
  result.full_height = full_height;
  if (preview_usable) {
    result.picture = std::move(preview.picture);
    result.status = preview.status;
    result.message = preview.message;
    if (data_cut) {
      result.status = DecodeStatus::kPartial;
      result.message = kRawDataCut;
      return result;
    }
    if (!options.check_raw_data) return result;
    code = raw->unpack();
    if (code == LIBRAW_OUT_OF_ORDER_CALL) {
      code = raw->open_datastream(stream.get());
      if (code == LIBRAW_SUCCESS) code = raw->unpack();
    }
    if (code != LIBRAW_SUCCESS || errors.data_errors > 0) {
      result.status = DecodeStatus::kPartial;
      result.message = code != LIBRAW_SUCCESS ? "raw data: " + error_text(code)
                                              : "raw data damaged or cut short";
    }
    return result;
  }

  if (data_cut) {
    DecodeResult cut = DecodeTiffPreview(bytes, options, kRawDataCut);
    if (cut.ok()) return WithFullSize(std::move(cut), full_width, full_height);
  }
  if (data_absent) {
    // Developing would only show the filler that stands in for the missing data.
    DecodeResult failure =
        Failure(ImageFormat::kRaw, "the file ends before its picture data (no preview either)");
    failure.full_width = full_width;
    failure.full_height = full_height;
    return failure;
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
    code = raw->open_datastream(stream.get());
    if (code == LIBRAW_SUCCESS) code = raw->unpack();
  }
  if (code != LIBRAW_SUCCESS) {
    if (preview.ok()) {  // a small preview is better than nothing
      preview.format = ImageFormat::kRaw;
      preview.status = DecodeStatus::kPartial;
      preview.message = "raw data: " + error_text(code);
      preview.full_width = full_width;
      preview.full_height = full_height;
      return preview;
    }
    DecodeResult failure = Failure(ImageFormat::kRaw, error_text(code));
    failure.full_width = full_width;
    failure.full_height = full_height;
    // LibRaw refuses a preview that runs past the end of a cut file: decode as much of it as
    // there is.
    DecodeResult cut = DecodeTiffPreview(bytes, options, "raw data: " + error_text(code));
    return cut.ok() ? WithFullSize(std::move(cut), full_width, full_height) : failure;
  }
  std::string error;
  if (!Develop(*raw, result, &error)) {
    DecodeResult failure = Failure(ImageFormat::kRaw, error);
    failure.full_width = full_width;
    failure.full_height = full_height;
    DecodeResult cut = DecodeTiffPreview(bytes, options, "raw data: " + error);
    return cut.ok() ? WithFullSize(std::move(cut), full_width, full_height) : failure;
  }
  result.status =
      errors.data_errors > 0 || data_cut ? DecodeStatus::kPartial : DecodeStatus::kComplete;
  if (errors.data_errors > 0) result.message = "raw data damaged or cut short";
  if (data_cut) result.message = kRawDataCut;
  return result;
}

}  // namespace pictavo::decoders
