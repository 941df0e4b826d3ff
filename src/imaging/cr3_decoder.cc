// Canon CR3: an ISO media file whose first track holds a full-size JPEG, with a 1620 x 1080 JPEG
// in a `uuid` box (PRVW) and a small one in the `moov` box's Canon `uuid` box (THMB), next to the
// raw tracks. The JPEGs are stored as the sensor saw them; the orientation comes from the TIFF
// directory in the CMT1 box. The preview is the smallest JPEG that covers the request (or the
// largest present), so only its bytes are touched; LibRaw is asked only when no JPEG is there.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "formats/byte_reader.h"
#include "imaging/decoders.h"
#include "imaging/orientation.h"

namespace pictavo::decoders {
namespace {

constexpr uint8_t kPreviewUuid[16] = {0xea, 0xf4, 0x2b, 0x5e, 0x1c, 0x98, 0x4b, 0x88,
                                      0xb9, 0xfb, 0xb7, 0xdc, 0x40, 0x6e, 0x4d, 0x16};
constexpr uint8_t kCanonUuid[16] = {0x85, 0xc0, 0xb6, 0x87, 0x82, 0x0f, 0x11, 0xe0,
                                    0x81, 0x11, 0xf4, 0xce, 0x46, 0x2b, 0x6a, 0x48};
// More boxes than any real file has at one level, and more tracks.
constexpr int kMaxBoxes = 4096;
constexpr int kMaxTracks = 16;
// A JPEG inside a preview box starts within this many bytes of the box's content.
constexpr size_t kJpegSearch = 64;

struct Box {
  uint64_t start = 0;
  uint64_t content = 0;  // after the header (and the uuid's user type)
  uint64_t end = 0;      // as declared; may lie past the bytes present
  char type[5] = {};
  const uint8_t* uuid = nullptr;
};

// Calls `visit(box)` for each box in [begin, end) of the file; stops at the first implausible one
// or when `visit` returns false.
template <typename Visit>
void ForEachBox(const ByteReader& in, uint64_t begin, uint64_t end, std::span<const uint8_t> bytes,
                Visit visit) {
  uint64_t pos = begin;
  for (int n = 0; n < kMaxBoxes && pos + 8 <= end; ++n) {
    const auto size32 = in.U32At(pos);
    if (!size32 || !in.Has(pos + 4, 4)) return;
    Box box;
    box.start = pos;
    std::copy_n(bytes.data() + pos + 4, 4, box.type);
    uint64_t size = *size32, header = 8;
    if (*size32 == 1) {
      const auto large = in.U64At(pos + 8);
      if (!large) return;
      size = *large;
      header = 16;
    } else if (*size32 == 0) {
      size = end - pos;
    }
    if (size < header || size > (uint64_t{1} << 62)) return;
    if (std::string_view(box.type, 4) == "uuid") {
      if (!in.Has(pos + header, 16)) return;
      box.uuid = bytes.data() + pos + header;
      header += 16;
      if (size < header) return;
    }
    box.content = pos + header;
    box.end = pos + size;
    if (!visit(box)) return;
    pos = box.end;
  }
}

bool IsType(const Box& box, std::string_view type) { return std::string_view(box.type, 4) == type; }
bool IsUuid(const Box& box, const uint8_t (&uuid)[16]) {
  return box.uuid && std::equal(uuid, uuid + 16, box.uuid);
}

struct Cr3Contents {
  struct Jpeg {
    std::span<const uint8_t> data;
    int width = 0;
    int height = 0;
  };
  std::vector<Jpeg> jpegs;
  int orientation = kOrientationNormal;
  int sensor_width = 0;  // the largest size a track's sample entry declares
  int sensor_height = 0;
  bool data_missing = false;  // a track's data lies (partly) past the end of the bytes
};

class Cr3Reader {
 public:
  explicit Cr3Reader(std::span<const uint8_t> bytes) : bytes_(bytes), in_(bytes, Endian::kBig) {}

  Cr3Contents Read() {
    ForEachBox(in_, 0, bytes_.size(), bytes_, [&](const Box& box) {
      if (IsType(box, "moov")) ReadMovie(box);
      if (IsType(box, "uuid") && IsUuid(box, kPreviewUuid)) AddJpegNear(box.content, box.end);
      return true;
    });
    std::sort(out_.jpegs.begin(), out_.jpegs.end(), [](const auto& a, const auto& b) {
      return uint64_t(a.width) * a.height > uint64_t(b.width) * b.height;
    });
    return std::move(out_);
  }

 private:
  uint64_t Clip(uint64_t end) const { return std::min<uint64_t>(end, bytes_.size()); }

  // A JPEG starting within the first bytes of [begin, end), running to `end` (or the bytes' end).
  void AddJpegNear(uint64_t begin, uint64_t end) {
    const uint64_t stop = Clip(std::min(end, begin + kJpegSearch));
    for (uint64_t at = begin; at + 3 <= stop; ++at) {
      if (in_.Matches(at, "\xFF\xD8\xFF")) {
        AddJpeg(at, end);
        return;
      }
    }
  }

  void AddJpeg(uint64_t begin, uint64_t end) {
    if (begin >= bytes_.size() || end <= begin) return;
    const auto data = bytes_.subspan(begin, Clip(end) - begin);
    const auto size = JpegSize(data);
    if (!size) return;
    for (const auto& known : out_.jpegs) {
      if (known.data.data() == data.data()) return;
    }
    out_.jpegs.push_back({data, size->width, size->height});
  }

  void ReadMovie(const Box& moov) {
    int tracks = 0;
    ForEachBox(in_, moov.content, Clip(moov.end), bytes_, [&](const Box& box) {
      if (IsType(box, "uuid") && IsUuid(box, kCanonUuid)) ReadCanonBox(box);
      if (IsType(box, "trak") && tracks++ < kMaxTracks) ReadTrack(box);
      return true;
    });
  }

  void ReadCanonBox(const Box& canon) {
    ForEachBox(in_, canon.content, Clip(canon.end), bytes_, [&](const Box& box) {
      if (IsType(box, "CMT1")) {
        out_.orientation =
            TiffOrientation(bytes_.subspan(box.content, Clip(box.end) - box.content));
      }
      if (IsType(box, "THMB")) AddJpegNear(box.content, box.end);
      return true;
    });
  }

  // Finds the box path trak/mdia/minf/stbl and reads the first sample's place and size.
  void ReadTrack(const Box& trak) {
    std::optional<Box> stbl;
    const char* path[] = {"mdia", "minf", "stbl"};
    Box current = trak;
    for (const char* name : path) {
      std::optional<Box> child;
      ForEachBox(in_, current.content, Clip(current.end), bytes_, [&](const Box& box) {
        if (IsType(box, name)) child = box;
        return !child;
      });
      if (!child) return;
      current = *child;
    }
    stbl = current;
    std::optional<uint64_t> offset, size;
    ForEachBox(in_, stbl->content, Clip(stbl->end), bytes_, [&](const Box& box) {
      const uint64_t c = box.content;
      if (IsType(box, "stsd")) {
        // The first sample entry is a visual one: its width and height follow 24 bytes in.
        const uint64_t entry = c + 8;
        const auto w = in_.U16At(entry + 8 + 24), h = in_.U16At(entry + 8 + 26);
        if (w && h && uint64_t(*w) * *h > uint64_t(out_.sensor_width) * out_.sensor_height) {
          out_.sensor_width = *w;
          out_.sensor_height = *h;
        }
      } else if (IsType(box, "stsz")) {
        const auto fixed = in_.U32At(c + 4), count = in_.U32At(c + 8);
        if (fixed && *fixed != 0) {
          size = *fixed;
        } else if (count && *count > 0) {
          if (const auto first = in_.U32At(c + 12)) size = *first;
        }
      } else if (IsType(box, "co64")) {
        const auto count = in_.U32At(c + 4);
        if (count && *count > 0) offset = in_.U64At(c + 8);
      } else if (IsType(box, "stco")) {
        const auto count = in_.U32At(c + 4);
        if (count && *count > 0) {
          if (const auto first = in_.U32At(c + 8)) offset = *first;
        }
      }
      return true;
    });
    if (!offset || !size) return;
    if (*offset >= bytes_.size() || *size > bytes_.size() - *offset) out_.data_missing = true;
    if (in_.Matches(*offset, "\xFF\xD8\xFF")) AddJpeg(*offset, *offset + *size);
  }

  std::span<const uint8_t> bytes_;
  ByteReader in_;
  Cr3Contents out_;
};

}  // namespace

DecodeResult DecodeCr3(std::span<const uint8_t> bytes, const DecodeOptions& options) {
  const Cr3Contents cr3 = Cr3Reader(bytes).Read();
  if (cr3.jpegs.empty()) {
    // Nothing to show of our own: LibRaw may know the camera's raw data.
    DecodeResult raw = DecodeRaw(bytes, options);
    if (raw.ok()) {
      raw.format = ImageFormat::kCr3;
      return raw;
    }
    return Failure(ImageFormat::kCr3, "no JPEG picture in the CR3 file (" + raw.message + ")");
  }
  const bool turned = OrientationSwapsSides(cr3.orientation);
  auto upright = [&](int w, int h) { return turned ? PictureSize{h, w} : PictureSize{w, h}; };
  PictureSize full = upright(cr3.jpegs[0].width, cr3.jpegs[0].height);
  if (uint64_t(cr3.sensor_width) * cr3.sensor_height > uint64_t(full.width) * full.height) {
    full = upright(cr3.sensor_width, cr3.sensor_height);
  }
  // The smallest JPEG that covers the fitted size, else the largest.
  size_t first = 0;
  if (options.fit_width > 0 && options.fit_height > 0) {
    const PictureSize wanted =
        FitWithin(full.width, full.height, options.fit_width, options.fit_height);
    for (size_t i = 1; i < cr3.jpegs.size(); ++i) {
      const PictureSize size = upright(cr3.jpegs[i].width, cr3.jpegs[i].height);
      if (size.width >= wanted.width && size.height >= wanted.height) first = i;
    }
  }
  std::string error;
  for (size_t k = 0; k < cr3.jpegs.size(); ++k) {
    // The chosen one first, then the others, largest first.
    const size_t index = k == 0 ? first : (k <= first ? k - 1 : k);
    DecodeResult result = DecodeJpegOriented(cr3.jpegs[index].data, options, cr3.orientation);
    if (!result.ok()) {
      error = result.message;
      continue;
    }
    result.format = ImageFormat::kCr3;
    result.full_width = full.width;
    result.full_height = full.height;
    if (result.status == DecodeStatus::kComplete && cr3.data_missing) {
      result.status = DecodeStatus::kPartial;
      result.message = "raw data missing: the file ends early";
    }
    return result;
  }
  DecodeResult failure = Failure(ImageFormat::kCr3, "JPEG picture in the CR3 file: " + error);
  failure.full_width = full.width;
  failure.full_height = full.height;
  return failure;
}

}  // namespace pictavo::decoders
