#include "samples/modern_picture_samples.h"

#include <libheif/heif.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <string>
#include <string_view>

#include "imaging/orientation.h"
#include "samples/picture_samples.h"
#include "samples/tiff_layout.h"

namespace pictavo::samples::pattern {
namespace {

// Pixel (x, y) of the pattern with a left-to-right alpha ramp when asked for.
uint32_t SamplePixel(int x, int y, int width, int height, uint32_t seed, bool alpha) {
  const uint32_t p = PatternPixel(x, y, width, height, seed);
  if (!alpha) return p;
  const uint32_t a = 64 + static_cast<uint32_t>(x * 191 / std::max(1, width - 1));
  return (a << 24) | (p & 0xFFFFFFu);
}

heif_error WriteToVector(heif_context*, const void* data, size_t size, void* user) {
  auto* out = static_cast<std::vector<uint8_t>*>(user);
  const auto* bytes = static_cast<const uint8_t*>(data);
  out->insert(out->end(), bytes, bytes + size);
  return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}
void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}
void Put64(std::vector<uint8_t>& out, uint64_t v) {
  Put32(out, static_cast<uint32_t>(v >> 32));
  Put32(out, static_cast<uint32_t>(v));
}
void Append(std::vector<uint8_t>& out, const std::vector<uint8_t>& more) {
  out.insert(out.end(), more.begin(), more.end());
}
void AppendText(std::vector<uint8_t>& out, std::string_view text) {
  out.insert(out.end(), text.begin(), text.end());
}
std::vector<uint8_t> IsoBox(std::string_view type, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> box;
  Put32(box, static_cast<uint32_t>(payload.size() + 8));
  AppendText(box, type);
  Append(box, payload);
  return box;
}
std::vector<uint8_t> UuidBox(const uint8_t (&uuid)[16], const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> content(uuid, uuid + 16);
  Append(content, payload);
  return IsoBox("uuid", content);
}

// A track whose first (only) sample of `size` bytes lies at `offset`, with a visual sample
// entry of width x height.
std::vector<uint8_t> Track(int width, int height, uint32_t size, uint64_t offset) {
  std::vector<uint8_t> entry(8, 0);  // reserved, data reference index
  entry[7] = 1;
  entry.resize(entry.size() + 16, 0);
  Put16(entry, static_cast<uint16_t>(width));
  Put16(entry, static_cast<uint16_t>(height));
  entry.resize(entry.size() + 50, 0);
  std::vector<uint8_t> stsd(4, 0);
  Put32(stsd, 1);
  Append(stsd, IsoBox("CRAW", entry));
  std::vector<uint8_t> stsz(4, 0);
  Put32(stsz, 0);
  Put32(stsz, 1);
  Put32(stsz, size);
  std::vector<uint8_t> co64(4, 0);
  Put32(co64, 1);
  Put64(co64, offset);
  std::vector<uint8_t> stbl = IsoBox("stsd", stsd);
  Append(stbl, IsoBox("stsz", stsz));
  Append(stbl, IsoBox("co64", co64));
  return IsoBox("trak", IsoBox("mdia", IsoBox("minf", IsoBox("stbl", stbl))));
}

}  // namespace

std::vector<uint8_t> EncodeHeif(const HeifOptions& o) {
  const heif_compression_format codec = o.av1 ? heif_compression_AV1 : heif_compression_HEVC;
  if (!heif_have_encoder_for_format(codec)) return {};
  heif_context* context = heif_context_alloc();
  heif_encoder* encoder = nullptr;
  std::vector<uint8_t> out;
  if (heif_context_get_encoder_for_format(context, codec, &encoder).code == heif_error_Ok) {
    heif_encoder_set_lossy_quality(encoder, o.quality);
    const heif_chroma chroma =
        o.ten_bit
            ? (o.alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
            : (o.alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    heif_image* image = nullptr;
    heif_image_create(o.width, o.height, heif_colorspace_RGB, chroma, &image);
    heif_image_add_plane(image, heif_channel_interleaved, o.width, o.height, o.ten_bit ? 10 : 8);
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    const int channels = o.alpha ? 4 : 3;
    for (int y = 0; y < o.height; ++y) {
      for (int x = 0; x < o.width; ++x) {
        const uint32_t p = SamplePixel(x, y, o.width, o.height, o.seed, o.alpha);
        const uint32_t c[4] = {(p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF, p >> 24};
        for (int k = 0; k < channels; ++k) {
          if (o.ten_bit) {
            const uint32_t v = c[k] * 1023 / 255;
            uint8_t* at = plane + y * stride + (x * channels + k) * 2;
            at[0] = static_cast<uint8_t>(v);
            at[1] = static_cast<uint8_t>(v >> 8);
          } else {
            plane[y * stride + x * channels + k] = static_cast<uint8_t>(c[k]);
          }
        }
      }
    }
    heif_encoding_options* options = heif_encoding_options_alloc();
    options->image_orientation = static_cast<heif_orientation>(o.orientation);
    heif_image_handle* handle = nullptr;
    bool ok =
        heif_context_encode_image(context, image, encoder, options, &handle).code == heif_error_Ok;
    if (ok && o.thumbnail > 0) {
      ok = heif_context_encode_thumbnail(context, image, handle, encoder, options, o.thumbnail,
                                         nullptr)
               .code == heif_error_Ok;
    }
    heif_writer writer{1, WriteToVector};
    if (ok) ok = heif_context_write(context, &writer, &out).code == heif_error_Ok;
    if (!ok) out.clear();
    heif_image_handle_release(handle);
    heif_encoding_options_free(options);
    heif_image_release(image);
    heif_encoder_release(encoder);
  }
  heif_context_free(context);
  return out;
}

std::vector<uint8_t> EncodeWebp(const WebpOptions& o) {
  std::vector<uint8_t> out;
  if (o.frames <= 1) {
    std::vector<uint8_t> rgba(static_cast<size_t>(o.width) * o.height * 4);
    for (int y = 0; y < o.height; ++y) {
      for (int x = 0; x < o.width; ++x) {
        const uint32_t p = SamplePixel(x, y, o.width, o.height, o.seed, o.alpha);
        uint8_t* at = rgba.data() + (static_cast<size_t>(y) * o.width + x) * 4;
        at[0] = static_cast<uint8_t>(p >> 16);
        at[1] = static_cast<uint8_t>(p >> 8);
        at[2] = static_cast<uint8_t>(p);
        at[3] = static_cast<uint8_t>(p >> 24);
      }
    }
    uint8_t* data = nullptr;
    const size_t size =
        o.lossless ? WebPEncodeLosslessRGBA(rgba.data(), o.width, o.height, o.width * 4, &data)
                   : WebPEncodeRGBA(rgba.data(), o.width, o.height, o.width * 4, 90, &data);
    if (size > 0) out.assign(data, data + size);
    WebPFree(data);
    return out;
  }
  WebPAnimEncoderOptions anim_options;
  WebPAnimEncoderOptionsInit(&anim_options);
  WebPAnimEncoder* encoder = WebPAnimEncoderNew(o.width, o.height, &anim_options);
  WebPConfig config;
  WebPConfigInit(&config);
  config.lossless = o.lossless ? 1 : 0;
  bool ok = encoder != nullptr;
  for (int frame = 0; ok && frame < o.frames; ++frame) {
    WebPPicture picture;
    WebPPictureInit(&picture);
    picture.use_argb = 1;
    picture.width = o.width;
    picture.height = o.height;
    ok = WebPPictureAlloc(&picture);
    for (int y = 0; ok && y < o.height; ++y) {
      for (int x = 0; x < o.width; ++x) {
        picture.argb[y * picture.argb_stride + x] =
            SamplePixel(x, y, o.width, o.height, o.seed + frame, o.alpha);
      }
    }
    ok = ok && WebPAnimEncoderAdd(encoder, &picture, frame * 100, &config);
    WebPPictureFree(&picture);
  }
  WebPData data;
  WebPDataInit(&data);
  if (ok && WebPAnimEncoderAdd(encoder, nullptr, o.frames * 100, nullptr) &&
      WebPAnimEncoderAssemble(encoder, &data)) {
    out.assign(data.bytes, data.bytes + data.size);
  }
  WebPDataClear(&data);
  WebPAnimEncoderDelete(encoder);
  return out;
}

std::vector<uint8_t> BuildCr3(const Cr3Layout& l) {
  static constexpr uint8_t kCanon[16] = {0x85, 0xc0, 0xb6, 0x87, 0x82, 0x0f, 0x11, 0xe0,
                                         0x81, 0x11, 0xf4, 0xce, 0x46, 0x2b, 0x6a, 0x48};
  static constexpr uint8_t kPreview[16] = {0xea, 0xf4, 0x2b, 0x5e, 0x1c, 0x98, 0x4b, 0x88,
                                           0xb9, 0xfb, 0xb7, 0xdc, 0x40, 0x6e, 0x4d, 0x16};
  auto size_of = [](const std::vector<uint8_t>& jpeg) {
    const auto size = JpegSize(jpeg);
    return size ? *size : JpegFrameSize{};
  };
  std::vector<uint8_t> ftyp;
  AppendText(ftyp, "crx ");
  Put32(ftyp, 1);
  AppendText(ftyp, "crx isom");
  ftyp = IsoBox("ftyp", ftyp);

  // CMT1: a little-endian TIFF directory with the orientation alone.
  const std::vector<uint8_t> cmt1 = {'I',
                                     'I',
                                     42,
                                     0,
                                     8,
                                     0,
                                     0,
                                     0,
                                     1,
                                     0,
                                     0x12,
                                     0x01,
                                     3,
                                     0,
                                     1,
                                     0,
                                     0,
                                     0,
                                     static_cast<uint8_t>(l.orientation),
                                     0,
                                     0,
                                     0,
                                     0,
                                     0,
                                     0,
                                     0,
                                     0,
                                     0};
  std::vector<uint8_t> canon = IsoBox("CMT1", cmt1);
  if (!l.thumbnail.empty()) {
    const JpegFrameSize t = size_of(l.thumbnail);
    std::vector<uint8_t> thmb(4, 0);
    Put16(thmb, static_cast<uint16_t>(t.width));
    Put16(thmb, static_cast<uint16_t>(t.height));
    Put32(thmb, static_cast<uint32_t>(l.thumbnail.size()));
    Put32(thmb, 0x00010000);
    Append(thmb, l.thumbnail);
    Append(canon, IsoBox("THMB", thmb));
  }
  std::vector<uint8_t> prvw_box;
  if (!l.preview.empty()) {
    const JpegFrameSize p = size_of(l.preview);
    std::vector<uint8_t> prvw(4, 0);
    Put16(prvw, 1);
    Put16(prvw, static_cast<uint16_t>(p.width));
    Put16(prvw, static_cast<uint16_t>(p.height));
    Put16(prvw, 1);
    Put32(prvw, static_cast<uint32_t>(l.preview.size()));
    Append(prvw, l.preview);
    std::vector<uint8_t> content(8, 0);
    Append(content, IsoBox("PRVW", prvw));
    prvw_box = UuidBox(kPreview, content);
  }
  const JpegFrameSize f = size_of(l.full);
  auto movie = [&](uint64_t mdat_data) {
    std::vector<uint8_t> moov = UuidBox(kCanon, canon);
    Append(moov, Track(f.width, f.height, static_cast<uint32_t>(l.full.size()), mdat_data));
    Append(moov, Track(f.width, f.height, l.raw_bytes, mdat_data + l.full.size()));
    return IsoBox("moov", moov);
  };
  const size_t moov_size = movie(0).size();
  const uint64_t mdat_data = ftyp.size() + moov_size + prvw_box.size() + 8;
  std::vector<uint8_t> out = ftyp;
  Append(out, movie(mdat_data));
  Append(out, prvw_box);
  std::vector<uint8_t> mdat = l.full;
  mdat.resize(mdat.size() + l.raw_bytes, 0x5A);
  Append(out, IsoBox("mdat", mdat));
  return out;
}

std::vector<uint8_t> BuildPhoneDng(const PhoneDngLayout& l) {
  TiffLayout t(true, 8);
  const uint32_t sub_ifd = 220, make = 380, model = 400;
  const uint32_t jpeg = 440;
  const uint32_t jpeg_size = static_cast<uint32_t>(l.preview.size());
  const uint32_t raw = (jpeg + jpeg_size + 15) / 16 * 16;
  const uint32_t raw_size = static_cast<uint32_t>(l.raw_width * l.raw_height * 2);
  t.PutIfd(8,
           {{0x00FE, 4, 1, 1},
            {0x0100, 4, 1, static_cast<uint32_t>(l.preview_width)},
            {0x0101, 4, 1, static_cast<uint32_t>(l.preview_height)},
            {0x0102, 3, 1, 8},
            {0x0103, 3, 1, 7},
            {0x0106, 3, 1, 6},
            {0x010F, 2, 8, make},
            {0x0110, 2, 14, model},
            {0x0111, 4, 1, jpeg},
            {0x0112, 3, 1, static_cast<uint32_t>(l.orientation)},
            {0x0115, 3, 1, 3},
            {0x0116, 4, 1, static_cast<uint32_t>(l.preview_height)},
            {0x0117, 4, 1, jpeg_size},
            {0x014A, 4, 1, sub_ifd},
            {0xC612, 1, 4, 0x00000401},
            {0xC614, 2, 14, model}},
           0);
  t.PutIfd(sub_ifd,
           {{0x00FE, 4, 1, 0},
            {0x0100, 4, 1, static_cast<uint32_t>(l.raw_width)},
            {0x0101, 4, 1, static_cast<uint32_t>(l.raw_height)},
            {0x0102, 3, 1, 16},
            {0x0103, 3, 1, 1},
            {0x0106, 3, 1, 32803},
            {0x0111, 4, 1, raw},
            {0x0115, 3, 1, 1},
            {0x0116, 4, 1, static_cast<uint32_t>(l.raw_height)},
            {0x0117, 4, 1, raw_size},
            {0x828D, 3, 2, 0x00020002},
            {0x828E, 1, 4, 0x02010100}},
           0);
  t.PutText(make, "Pictavo");
  t.PutText(model, "Pictavo Phone");
  t.PutBytes(jpeg, l.preview);
  std::vector<uint8_t> mosaic(raw_size);
  for (int y = 0; y < l.raw_height; ++y) {
    for (int x = 0; x < l.raw_width; ++x) {
      const uint32_t p = PatternPixel(x, y, l.raw_width, l.raw_height, 1);
      const int site = (y % 2) * 2 + (x % 2);
      const uint32_t v = (site == 0 ? (p >> 16) : site == 3 ? p : (p >> 8)) & 0xFF;
      const size_t at = (static_cast<size_t>(y) * l.raw_width + x) * 2;
      mosaic[at] = static_cast<uint8_t>(v);
      mosaic[at + 1] = static_cast<uint8_t>(v);
    }
  }
  t.PutBytes(raw, mosaic);
  return t.bytes();
}

}  // namespace pictavo::samples::pattern
