// Windows and OS/2 bitmaps, read by hand: every header field is untrusted and every pixel read is
// checked against the end of the file. Reads 1, 4 and 8 bits with a palette, 16, 24 and 32 bits,
// bottom-up and top-down rows, BI_RGB, BI_BITFIELDS (and its alpha variant), RLE8 and RLE4.
#include <algorithm>
#include <array>
#include <bit>

#include "formats/byte_reader.h"
#include "imaging/decoders.h"

namespace pictavo::decoders {
namespace {

constexpr uint32_t kFileHeaderSize = 14;
constexpr uint32_t kBiRgb = 0, kBiRle8 = 1, kBiRle4 = 2, kBiBitfields = 3, kBiAlphaBitfields = 6;

// One colour channel described by a bit mask of a 16- or 32-bit pixel.
struct Channel {
  uint32_t mask = 0;
  int shift = 0;
  uint32_t max = 0;

  explicit Channel(uint32_t m = 0) : mask(m) {
    if (mask == 0) return;
    shift = std::countr_zero(mask);
    max = mask >> shift;
  }
  uint32_t Value(uint32_t pixel, uint32_t absent) const {
    if (max == 0) return absent;
    return static_cast<uint32_t>((static_cast<uint64_t>((pixel & mask) >> shift) * 255 + max / 2) /
                                 max);
  }
};

struct BitmapLayout {
  int64_t width = 0;
  int64_t height = 0;  // always positive here
  bool top_down = false;
  uint32_t bits = 0;
  uint32_t compression = kBiRgb;
  uint32_t data_offset = 0;
  std::array<uint32_t, 256> palette{};
  uint32_t palette_size = 0;
  Channel red, green, blue, alpha;
  bool has_alpha_mask = false;
};

// Parses the headers and the palette; an error text when they are unusable.
const char* ParseHeaders(const ByteReader& in, BitmapLayout& layout) {
  if (!in.Matches(0, "BM")) return "no bitmap signature";
  const auto data_offset = in.U32At(10);
  const auto info_size = in.U32At(kFileHeaderSize);
  if (!data_offset || !info_size) return "bitmap header cut short";
  layout.data_offset = *data_offset;
  uint32_t palette_entry = 4;
  uint32_t colours_used = 0;
  size_t after_info = kFileHeaderSize + size_t{*info_size};
  if (*info_size == 12) {  // OS/2 1.x core header
    const auto w = in.U16At(18), h = in.U16At(20), bits = in.U16At(24);
    if (!w || !h || !bits) return "bitmap header cut short";
    layout.width = *w;
    layout.height = *h;
    layout.bits = *bits;
    palette_entry = 3;
  } else if (*info_size >= 40 && *info_size <= 4096) {
    const auto w = in.U32At(18), h = in.U32At(22), compression = in.U32At(30), used = in.U32At(46);
    const auto bits = in.U16At(28);
    if (!w || !h || !bits || !compression || !used) return "bitmap header cut short";
    layout.width = static_cast<int32_t>(*w);
    const int64_t height = static_cast<int32_t>(*h);
    layout.top_down = height < 0;
    layout.height = height < 0 ? -height : height;
    layout.bits = *bits;
    layout.compression = *compression;
    colours_used = *used;
    if (layout.compression == kBiBitfields || layout.compression == kBiAlphaBitfields) {
      // Masks sit inside the larger headers, or right after a 40-byte one.
      const size_t masks_at = kFileHeaderSize + 40;
      const bool with_alpha = layout.compression == kBiAlphaBitfields || *info_size >= 56;
      const auto r = in.U32At(masks_at), g = in.U32At(masks_at + 4), b = in.U32At(masks_at + 8);
      if (!r || !g || !b) return "bitmap masks cut short";
      layout.red = Channel(*r);
      layout.green = Channel(*g);
      layout.blue = Channel(*b);
      if (with_alpha) {
        const auto a = in.U32At(masks_at + 12);
        if (a && *a) {
          layout.alpha = Channel(*a);
          layout.has_alpha_mask = true;
        }
      }
      if (*info_size == 40) after_info += layout.compression == kBiAlphaBitfields ? 16 : 12;
    } else if (*info_size >= 56) {
      // Version 3 and later headers may give an alpha mask for BI_RGB 32-bit data as well.
      const auto a = in.U32At(kFileHeaderSize + 52);
      if (layout.bits == 32 && a && *a == 0xFF000000u) {
        layout.alpha = Channel(*a);
        layout.has_alpha_mask = true;
      }
    }
  } else {
    return "unknown bitmap header size";
  }

  if (layout.width <= 0 || layout.height <= 0) return "bitmap has no pixels";
  switch (layout.bits) {
    case 1:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
      break;
    default:
      return "unsupported bits per pixel";
  }
  switch (layout.compression) {
    case kBiRgb:
      break;
    case kBiRle8:
      if (layout.bits != 8) return "RLE8 needs 8 bits per pixel";
      break;
    case kBiRle4:
      if (layout.bits != 4) return "RLE4 needs 4 bits per pixel";
      break;
    case kBiBitfields:
    case kBiAlphaBitfields:
      if (layout.bits != 16 && layout.bits != 32) return "bit fields need 16 or 32 bits per pixel";
      break;
    default:
      return "unsupported bitmap compression";
  }
  if (layout.compression == kBiRgb && layout.bits == 16) {
    layout.red = Channel(0x7C00);
    layout.green = Channel(0x03E0);
    layout.blue = Channel(0x001F);
  }
  if (layout.compression == kBiRgb && layout.bits == 32 && !layout.has_alpha_mask) {
    layout.red = Channel(0x00FF0000);
    layout.green = Channel(0x0000FF00);
    layout.blue = Channel(0x000000FF);
  }

  if (layout.bits <= 8) {
    const uint32_t max_entries = 1u << layout.bits;
    uint32_t entries = colours_used == 0 ? max_entries : std::min(colours_used, max_entries);
    for (uint32_t i = 0; i < entries; ++i) {
      const size_t at = after_info + size_t{i} * palette_entry;
      if (!in.Has(at, 3)) break;  // a short palette leaves the rest black
      const auto b = in.U8At(at), g = in.U8At(at + 1), r = in.U8At(at + 2);
      layout.palette[i] = PackRgb(*r, *g, *b);
      layout.palette_size = i + 1;
    }
    for (uint32_t i = layout.palette_size; i < 256; ++i) layout.palette[i] = PackRgb(0, 0, 0);
  }
  return nullptr;
}

// Rows in file order map to picture rows bottom-up unless the header said top-down.
int PictureRow(const BitmapLayout& layout, int64_t file_row) {
  return static_cast<int>(layout.top_down ? file_row : layout.height - 1 - file_row);
}

// Uncompressed rows; returns the number of complete rows found in the file.
int64_t ReadRows(std::span<const uint8_t> bytes, const BitmapLayout& layout, Picture& picture) {
  const uint64_t stride = ((static_cast<uint64_t>(layout.width) * layout.bits + 31) / 32) * 4;
  const uint64_t available =
      layout.data_offset < bytes.size() ? bytes.size() - layout.data_offset : 0;
  const int64_t rows = static_cast<int64_t>(
      std::min<uint64_t>(available / stride, static_cast<uint64_t>(layout.height)));
  bool any_alpha = false;
  for (int64_t file_row = 0; file_row < rows; ++file_row) {
    const uint8_t* src = bytes.data() + layout.data_offset + file_row * stride;
    uint32_t* out = picture.Row(PictureRow(layout, file_row));
    for (int64_t x = 0; x < layout.width; ++x) {
      switch (layout.bits) {
        case 1:
          out[x] = layout.palette[(src[x >> 3] >> (7 - (x & 7))) & 1];
          break;
        case 4:
          out[x] = layout.palette[(src[x >> 1] >> ((x & 1) ? 0 : 4)) & 0xF];
          break;
        case 8:
          out[x] = layout.palette[src[x]];
          break;
        case 24:
          out[x] = PackRgb(src[x * 3 + 2], src[x * 3 + 1], src[x * 3]);
          break;
        case 16:
        case 32: {
          const uint32_t pixel = layout.bits == 16 ? LoadLe16(src + x * 2) : LoadLe32(src + x * 4);
          const uint32_t a = layout.alpha.Value(pixel, 255);
          any_alpha |= a != 0;
          out[x] = PackArgb(a, layout.red.Value(pixel, 0), layout.green.Value(pixel, 0),
                            layout.blue.Value(pixel, 0));
          break;
        }
      }
    }
  }
  // Many writers leave the alpha bytes at zero: such a picture is opaque, not invisible.
  if (layout.has_alpha_mask && !any_alpha) {
    for (uint32_t& p : picture.pixels) p |= 0xFF000000u;
  }
  return rows;
}

// RLE8 and RLE4; true when the end-of-bitmap code was reached.
bool ReadRunLengths(std::span<const uint8_t> bytes, const BitmapLayout& layout, Picture& picture) {
  const bool four = layout.compression == kBiRle4;
  size_t pos = layout.data_offset;
  int64_t x = 0, row = 0;
  auto put = [&](uint32_t index) {
    if (x < layout.width && row < layout.height) {
      picture.Row(PictureRow(layout, row))[x] = layout.palette[index & 0xFF];
    }
    ++x;
  };
  // Every pass consumes at least two bytes, so the walk ends with the data.
  while (pos < bytes.size() && bytes.size() - pos >= 2) {
    const uint8_t count = bytes[pos], value = bytes[pos + 1];
    pos += 2;
    if (count > 0) {
      for (int i = 0; i < count; ++i) put(four ? ((i & 1) ? value & 0xF : value >> 4) : value);
      continue;
    }
    if (value == 0) {  // end of line
      x = 0;
      ++row;
    } else if (value == 1) {  // end of bitmap
      return true;
    } else if (value == 2) {  // delta
      if (bytes.size() - pos < 2) return false;
      x += bytes[pos];
      row += bytes[pos + 1];
      pos += 2;
    } else {  // absolute run of `value` pixels, padded to a 16-bit boundary
      const size_t data = four ? (value + 1u) / 2 : value;
      const size_t padded = (data + 1) & ~size_t{1};
      if (bytes.size() - pos < data) return false;
      for (int i = 0; i < value; ++i) {
        put(four ? ((i & 1) ? bytes[pos + i / 2] & 0xF : bytes[pos + i / 2] >> 4) : bytes[pos + i]);
      }
      pos += std::min(padded, bytes.size() - pos);
    }
    if (row >= layout.height) return true;
  }
  return false;
}

}  // namespace

DecodeResult DecodeBmp(std::span<const uint8_t> bytes, const DecodeOptions& options) {
  const ByteReader in(bytes, Endian::kLittle);
  BitmapLayout layout;
  if (const char* error = ParseHeaders(in, layout)) return Failure(ImageFormat::kBmp, error);
  if (!SizeAllowed(layout.width, layout.height, options)) {
    return Failure(ImageFormat::kBmp, "bitmap size out of range");
  }
  if (layout.data_offset >= bytes.size()) return Failure(ImageFormat::kBmp, "no pixel data");

  DecodeResult result;
  result.format = ImageFormat::kBmp;
  result.full_width = static_cast<int>(layout.width);
  result.full_height = static_cast<int>(layout.height);
  if (!result.picture.Allocate(result.full_width, result.full_height)) {
    return Failure(ImageFormat::kBmp, "out of memory");
  }
  bool complete;
  if (layout.compression == kBiRle8 || layout.compression == kBiRle4) {
    complete = ReadRunLengths(bytes, layout, result.picture);
  } else {
    const int64_t rows = ReadRows(bytes, layout, result.picture);
    if (rows == 0) return Failure(ImageFormat::kBmp, "pixel data cut short before the first row");
    complete = rows == layout.height;
  }
  result.status = complete ? DecodeStatus::kComplete : DecodeStatus::kPartial;
  if (!complete) result.message = "pixel data cut short";
  if (layout.bits <= 8 && layout.palette_size == 0) {
    result.status = DecodeStatus::kPartial;
    result.message = "palette missing";
  }
  return result;
}

}  // namespace pictavo::decoders
