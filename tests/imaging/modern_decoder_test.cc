// The phone and modern-camera picture formats: HEIC and AVIF through libheif, WebP through
// libwebp, Canon CR3 and phone DNG through their embedded JPEGs, each shown upright exactly once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imaging/decoders.h"
#include "imaging/image_decoder.h"
#include "imaging/orientation.h"
#include "samples/image_builder.h"
#include "samples/jpeg_sample.h"
#include "samples/modern_picture_samples.h"
#include "test_pictures.h"

namespace pictavo {
namespace {

using samples::pattern::BuildCr3;
using samples::pattern::BuildPhoneDng;
using samples::pattern::EncodeHeif;
using samples::pattern::EncodeWebp;
using testing::DifferenceFromPattern;

// The orientation that undoes `o`.
int Inverse(int o) { return o == 6 ? 8 : o == 8 ? 6 : o; }

std::vector<uint8_t> Cut(std::vector<uint8_t> bytes, size_t keep) {
  bytes.resize(std::min(keep, bytes.size()));
  return bytes;
}

// An ISO media file head: `ftyp` with a major brand and compatible brands.
std::vector<uint8_t> Ftyp(const std::string& major, const std::vector<std::string>& compatible) {
  std::vector<uint8_t> out = {0, 0, 0, static_cast<uint8_t>(16 + 4 * compatible.size())};
  for (char c : std::string("ftyp") + major + std::string("\0\0\0\0", 4)) out.push_back(c);
  for (const std::string& b : compatible) out.insert(out.end(), b.begin(), b.end());
  out.resize(64, 0);
  return out;
}

struct BrandCase {
  std::string major;
  std::vector<std::string> compatible;
  ImageFormat format;
};

TEST(ModernDetect, IsoBrandsNameThePictureFormat) {
  const BrandCase cases[] = {
      {"heic", {"mif1", "heic"}, ImageFormat::kHeif},
      {"heix", {"mif1"}, ImageFormat::kHeif},
      {"mif1", {"mif1", "heic", "hevc"}, ImageFormat::kHeif},
      {"mif1", {"mif1", "avif", "miaf"}, ImageFormat::kAvif},
      {"avif", {"mif1", "miaf"}, ImageFormat::kAvif},
      {"avis", {"msf1"}, ImageFormat::kAvif},
      {"msf1", {"avis"}, ImageFormat::kAvif},
      {"crx ", {"crx ", "isom"}, ImageFormat::kCr3},
      {"mp42", {"isom", "mp42"}, ImageFormat::kUnknown},
      {"qt  ", {"qt  "}, ImageFormat::kUnknown},
      {"M4A ", {"M4A ", "mp42"}, ImageFormat::kUnknown},
  };
  for (const BrandCase& c : cases) {
    SCOPED_TRACE(c.major);
    EXPECT_EQ(DetectImageFormat(Ftyp(c.major, c.compatible)), c.format);
  }
}

TEST(ModernDetect, RiffWebpIsWebpAndOtherRiffIsNot) {
  const std::string webp("RIFF\x10\0\0\0WEBPVP8 ", 16), avi("RIFF\x10\0\0\0AVI LIST", 16);
  EXPECT_EQ(DetectImageFormat(std::span(reinterpret_cast<const uint8_t*>(webp.data()), 16)),
            ImageFormat::kWebp);
  EXPECT_EQ(DetectImageFormat(std::span(reinterpret_cast<const uint8_t*>(avi.data()), 16)),
            ImageFormat::kUnknown);
}

struct HeifCase {
  const char* name;
  samples::pattern::HeifOptions options;
  ImageFormat format;
  double tolerance;
};

TEST(HeifDecoder, DecodesWhatTheEncodersWrote) {
  const HeifCase cases[] = {
      {"heic", {.width = 64, .height = 48}, ImageFormat::kHeif, 12},
      {"heic_10bit", {.width = 64, .height = 48, .ten_bit = true}, ImageFormat::kHeif, 12},
      {"avif", {.width = 64, .height = 48, .av1 = true}, ImageFormat::kAvif, 12},
      {"avif_odd_size", {.width = 37, .height = 29, .av1 = true}, ImageFormat::kAvif, 16},
  };
  for (const HeifCase& c : cases) {
    SCOPED_TRACE(c.name);
    const auto file = EncodeHeif(c.options);
    ASSERT_FALSE(file.empty()) << "no encoder";
    const DecodeResult result = DecodeImage(file);
    ASSERT_EQ(result.status, DecodeStatus::kComplete) << result.message;
    EXPECT_EQ(result.format, c.format);
    EXPECT_EQ(result.full_width, c.options.width);
    EXPECT_EQ(result.full_height, c.options.height);
    ASSERT_EQ(result.picture.width, c.options.width);
    ASSERT_EQ(result.picture.height, c.options.height);
    EXPECT_LT(DifferenceFromPattern(result.picture), c.tolerance);
  }
}

TEST(HeifDecoder, AppliesTheFileTransformsOnce) {
  for (int orientation : {2, 3, 6, 8}) {
    SCOPED_TRACE(orientation);
    const auto file = EncodeHeif({.width = 64, .height = 48, .orientation = orientation});
    ASSERT_FALSE(file.empty());
    DecodeResult result = DecodeImage(file);
    ASSERT_EQ(result.status, DecodeStatus::kComplete) << result.message;
    const bool turned = OrientationSwapsSides(orientation);
    EXPECT_EQ(result.full_width, turned ? 48 : 64);
    EXPECT_EQ(result.picture.width, turned ? 48 : 64);
    EXPECT_EQ(result.picture.height, turned ? 64 : 48);
    // Turning it back gives the pattern the encoder was given.
    ASSERT_TRUE(ApplyOrientation(result.picture, Inverse(orientation)));
    EXPECT_LT(DifferenceFromPattern(result.picture), 12);
  }
}

TEST(HeifDecoder, KeepsAlpha) {
  const auto file = EncodeHeif({.width = 64, .height = 48, .av1 = true, .alpha = true});
  ASSERT_FALSE(file.empty());
  const DecodeResult result = DecodeImage(file);
  ASSERT_EQ(result.status, DecodeStatus::kComplete) << result.message;
  // The ramp runs from alpha 64 on the left to 255 on the right.
  EXPECT_NEAR(static_cast<int>(result.picture.At(0, 20) >> 24), 64, 12);
  EXPECT_NEAR(static_cast<int>(result.picture.At(63, 20) >> 24), 255, 12);
}

TEST(HeifDecoder, FittedRequestIsServedAtTheFittedSize) {
  const auto file = EncodeHeif({.width = 256, .height = 192, .thumbnail = 64});
  ASSERT_FALSE(file.empty());
  const DecodeResult result = DecodeImage(file, {.fit_width = 60, .fit_height = 60});
  ASSERT_EQ(result.status, DecodeStatus::kComplete) << result.message;
  EXPECT_EQ(result.full_width, 256);
  EXPECT_EQ(result.full_height, 192);
  EXPECT_EQ(result.picture.width, 60);
  EXPECT_EQ(result.picture.height, 45);
}

TEST(HeifDecoder, CutFileFailsWithAReasonOrDecodesPartly) {
  const auto file = EncodeHeif({.width = 128, .height = 96});
  ASSERT_FALSE(file.empty());
  for (size_t keep : {size_t{40}, file.size() / 2, file.size() - 10}) {
    SCOPED_TRACE(keep);
    const DecodeResult result = DecodeImage(Cut(file, keep));
    EXPECT_NE(result.status, DecodeStatus::kComplete);
    EXPECT_FALSE(result.message.empty());
  }
}

struct WebpCase {
  const char* name;
  samples::pattern::WebpOptions options;
  double tolerance;
};

TEST(WebpDecoder, DecodesLossyLosslessAlphaAndAnimations) {
  const WebpCase cases[] = {
      {"lossy", {.width = 64, .height = 48}, 12},
      {"lossless", {.width = 64, .height = 48, .lossless = true}, 0.01},
      {"lossy_alpha", {.width = 40, .height = 30, .alpha = true}, -1},
      {"animated", {.width = 50, .height = 40, .lossless = true, .frames = 3}, 0.01},
  };
  for (const WebpCase& c : cases) {
    SCOPED_TRACE(c.name);
    const auto file = EncodeWebp(c.options);
    ASSERT_FALSE(file.empty());
    const DecodeResult result = DecodeImage(file);
    ASSERT_EQ(result.status, DecodeStatus::kComplete) << result.message;
    EXPECT_EQ(result.format, ImageFormat::kWebp);
    ASSERT_EQ(result.picture.width, c.options.width);
    ASSERT_EQ(result.picture.height, c.options.height);
    // An animation shows its first frame, which has the first seed.
    if (c.tolerance >= 0) {
      EXPECT_LT(DifferenceFromPattern(result.picture), c.tolerance);
    }
    if (c.options.alpha) {
      EXPECT_NEAR(static_cast<int>(result.picture.At(0, 10) >> 24), 64, 8);
      EXPECT_NEAR(static_cast<int>(result.picture.At(c.options.width - 1, 10) >> 24), 255, 8);
    }
  }
}

TEST(WebpDecoder, FittedStillIsDecodedAtTheFittedSize) {
  const auto file = EncodeWebp({.width = 200, .height = 100});
  const DecodeResult result = DecodeImage(file, {.fit_width = 50, .fit_height = 50});
  ASSERT_EQ(result.status, DecodeStatus::kComplete) << result.message;
  EXPECT_EQ(result.full_width, 200);
  EXPECT_EQ(result.picture.width, 50);
  EXPECT_EQ(result.picture.height, 25);
}

TEST(WebpDecoder, CutFileGivesTheRowsItHolds) {
  for (bool lossless : {false, true}) {
    SCOPED_TRACE(lossless);
    const auto file = EncodeWebp({.width = 256, .height = 192, .lossless = lossless});
    const DecodeResult result = DecodeImage(Cut(file, file.size() * 2 / 3));
    ASSERT_EQ(result.status, DecodeStatus::kPartial) << result.message;
    EXPECT_EQ(result.picture.width, 256);
    EXPECT_EQ(result.message, "data ends early");
    // The top rows are there.
    Picture top = result.picture;
    top.height = 8;
    top.pixels.resize(256 * 8);
    const auto whole = DecodeImage(file);
    Picture whole_top = whole.picture;
    whole_top.height = 8;
    whole_top.pixels.resize(256 * 8);
    EXPECT_EQ(top.pixels, whole_top.pixels);
  }
}

TEST(WebpDecoder, HeaderOnlyFailsWithAReason) {
  const auto file = EncodeWebp({.width = 64, .height = 48});
  const DecodeResult result = DecodeImage(Cut(file, 20));
  EXPECT_EQ(result.status, DecodeStatus::kFailed);
  EXPECT_FALSE(result.message.empty());
}

// A JPEG with an EXIF segment holding only an Orientation tag.
std::vector<uint8_t> JpegWithOrientation(const std::vector<uint8_t>& jpeg, int orientation) {
  std::vector<uint8_t> exif = {
      'E', 'x', 'i', 'f',  0,    0, 'M', 'M', 0, 42, 0, 0, 0,
      8,   0,   1,   0x01, 0x12, 0, 3,   0,   0, 0,  1, 0, static_cast<uint8_t>(orientation),
      0,   0,   0,   0,    0,    0};
  const uint8_t head[6] = {0xFF, 0xD8, 0xFF, 0xE1, 0, static_cast<uint8_t>(exif.size() + 2)};
  std::vector<uint8_t> out(6 + exif.size() + jpeg.size() - 2);
  std::copy_n(head, 6, out.begin());
  std::copy(exif.begin(), exif.end(), out.begin() + 6);
  std::copy(jpeg.begin() + 2, jpeg.end(), out.begin() + 6 + static_cast<ptrdiff_t>(exif.size()));
  return out;
}

TEST(JpegOrientation, ExifOrientationIsAppliedOnce) {
  const auto plain = samples::EncodeJpeg({.width = 40, .height = 24, .quality = 95});
  const DecodeResult stored = decoders::DecodeJpeg(plain, {});
  ASSERT_TRUE(stored.ok());
  for (int orientation = 1; orientation <= 8; ++orientation) {
    SCOPED_TRACE(orientation);
    const auto file = JpegWithOrientation(plain, orientation);
    EXPECT_EQ(JpegExifOrientation(file), orientation);
    const DecodeResult result = DecodeImage(file);
    ASSERT_EQ(result.status, DecodeStatus::kComplete) << result.message;
    Picture expected = stored.picture;
    ASSERT_TRUE(ApplyOrientation(expected, orientation));
    EXPECT_EQ(result.full_width, expected.width);
    EXPECT_EQ(result.full_height, expected.height);
    EXPECT_EQ(result.picture.width, expected.width);
    EXPECT_EQ(result.picture.pixels, expected.pixels);
  }
}

TEST(JpegOrientation, FittedTurnedJpegFillsTheTurnedBox) {
  const auto file = JpegWithOrientation(samples::EncodeJpeg({.width = 400, .height = 200}), 6);
  const DecodeResult result = DecodeImage(file, {.fit_width = 100, .fit_height = 200});
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.picture.width, 100);
  EXPECT_EQ(result.picture.height, 200);
}

TEST(Orientation, TurnsAndMirrorsAsExifDefines) {
  Picture p;
  ASSERT_TRUE(p.Allocate(3, 2));
  for (int i = 0; i < 6; ++i) p.pixels[i] = static_cast<uint32_t>(i);  // 0 1 2 / 3 4 5
  struct Case {
    int orientation;
    int width;
    std::vector<uint32_t> pixels;
  };
  const Case cases[] = {
      {1, 3, {0, 1, 2, 3, 4, 5}}, {2, 3, {2, 1, 0, 5, 4, 3}}, {3, 3, {5, 4, 3, 2, 1, 0}},
      {4, 3, {3, 4, 5, 0, 1, 2}}, {5, 2, {0, 3, 1, 4, 2, 5}}, {6, 2, {3, 0, 4, 1, 5, 2}},
      {7, 2, {5, 2, 4, 1, 3, 0}}, {8, 2, {2, 5, 1, 4, 0, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.orientation);
    Picture turned = p;
    ASSERT_TRUE(ApplyOrientation(turned, c.orientation));
    EXPECT_EQ(turned.width, c.width);
    EXPECT_EQ(turned.pixels, c.pixels);
  }
}

TEST(Orientation, RawFlipMapsToExifValues) {
  const int expected[8] = {1, 2, 4, 3, 5, 8, 6, 7};
  for (int flip = 0; flip < 8; ++flip) EXPECT_EQ(OrientationFromRawFlip(flip), expected[flip]);
}

samples::pattern::Cr3Layout Cr3Sample(int orientation) {
  return {.full = samples::EncodeJpeg({.width = 96, .height = 64, .quality = 95}),
          .preview = samples::EncodeJpeg({.width = 48, .height = 32, .seed = 2}),
          .thumbnail = samples::EncodeJpeg({.width = 24, .height = 16, .seed = 3}),
          .orientation = orientation};
}

TEST(Cr3Decoder, ShowsTheFullSizeJpegUpright) {
  const auto layout = Cr3Sample(6);
  const auto file = BuildCr3(layout);
  EXPECT_EQ(DetectImageFormat(file), ImageFormat::kCr3);
  const DecodeResult result = DecodeImage(file);
  ASSERT_EQ(result.status, DecodeStatus::kComplete) << result.message;
  EXPECT_EQ(result.format, ImageFormat::kCr3);
  EXPECT_EQ(result.full_width, 64);
  EXPECT_EQ(result.full_height, 96);
  Picture expected = decoders::DecodeJpeg(layout.full, {}).picture;
  ASSERT_TRUE(ApplyOrientation(expected, 6));
  EXPECT_EQ(result.picture.pixels, expected.pixels);
}

TEST(Cr3Decoder, FittedRequestUsesTheSmallestJpegThatCovers) {
  const auto layout = Cr3Sample(1);
  const auto file = BuildCr3(layout);
  // A 40 x 40 box needs 40 x 26 of the 96 x 64 picture: the 48 x 32 preview covers it.
  const DecodeResult result = DecodeImage(file, {.fit_width = 40, .fit_height = 40});
  ASSERT_EQ(result.status, DecodeStatus::kComplete) << result.message;
  const DecodeResult expected = DecodeImage(layout.preview, {.fit_width = 40, .fit_height = 40});
  EXPECT_EQ(result.picture.pixels, expected.picture.pixels);
  EXPECT_EQ(result.full_width, 96);
}

TEST(Cr3Decoder, CutFileShowsWhatIsLeftAndSaysSo) {
  const auto layout = Cr3Sample(8);
  const auto file = BuildCr3(layout);
  // Cut inside the full-size JPEG: the part that is there, partial.
  const size_t in_full = file.size() - layout.raw_bytes - layout.full.size() / 2;
  DecodeResult result = DecodeImage(Cut(file, in_full));
  EXPECT_EQ(result.status, DecodeStatus::kPartial);
  EXPECT_EQ(result.picture.width, 64);
  EXPECT_EQ(result.picture.height, 96);
  // Cut before the media data: the PRVW preview, partial because the raw data is missing.
  const size_t before_mdat = file.size() - layout.raw_bytes - layout.full.size() - 8;
  result = DecodeImage(Cut(file, before_mdat));
  EXPECT_EQ(result.status, DecodeStatus::kPartial);
  EXPECT_EQ(result.message, "raw data missing: the file ends early");
  EXPECT_EQ(result.picture.width, 32);
  EXPECT_EQ(result.picture.height, 48);
  // Only the header: no picture, and a reason.
  result = DecodeImage(Cut(file, 60));
  EXPECT_EQ(result.status, DecodeStatus::kFailed);
  EXPECT_FALSE(result.message.empty());
}

// An ISO box: 32-bit size, type, content.
std::vector<uint8_t> IsoBox(const std::string& type, const std::vector<uint8_t>& content) {
  const uint32_t size = static_cast<uint32_t>(8 + content.size());
  std::vector<uint8_t> out = {uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8),
                              uint8_t(size)};
  out.insert(out.end(), type.begin(), type.end());
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

std::vector<uint8_t> Joined(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

TEST(Cr3Decoder, DamagedBoxCannotHoldTheDecoderForever) {
  // A CR3 with no JPEG, whose `moov` holds a box of 64-bit size zero: LibRaw's parser steps over
  // each box by its size, so it never moves on. The decode must come back, failed, when its time
  // is up.
  const std::vector<uint8_t> ftyp =
      IsoBox("ftyp", {'c', 'r', 'x', ' ', 0, 0, 0, 1, 'c', 'r', 'x', ' ', 'i', 's', 'o', 'm'});
  const std::vector<uint8_t> stuck = {0, 0, 0, 1, 'f', 'r', 'e', 'e', 0, 0, 0, 0, 0, 0, 0, 0};
  auto file = Joined({ftyp, IsoBox("moov", Joined({stuck, std::vector<uint8_t>(64, 0)}))});
  ASSERT_EQ(DetectImageFormat(file), ImageFormat::kCr3);

  DecodeOptions options;
  options.raw_time_limit = std::chrono::milliseconds(300);
  const DecodeResult result = DecodeImage(file, options);
  EXPECT_EQ(result.status, DecodeStatus::kFailed);
  EXPECT_NE(result.message.find("took too long"), std::string::npos) << result.message;
}

samples::pattern::PhoneDngLayout DngSample(int orientation) {
  return {.preview = samples::EncodeJpeg({.width = 128, .height = 96, .quality = 95}),
          .preview_width = 128,
          .preview_height = 96,
          .orientation = orientation};
}

TEST(PhoneDng, PreviewIsShownUprightOnce) {
  const auto layout = DngSample(6);
  const DecodeResult result = DecodeImage(BuildPhoneDng(layout));
  ASSERT_EQ(result.status, DecodeStatus::kComplete) << result.message;
  EXPECT_EQ(result.format, ImageFormat::kRaw);
  Picture expected = decoders::DecodeJpeg(layout.preview, {}).picture;
  ASSERT_TRUE(ApplyOrientation(expected, 6));
  ASSERT_EQ(result.picture.width, 96);
  ASSERT_EQ(result.picture.height, 128);
  EXPECT_EQ(result.picture.pixels, expected.pixels);
}

TEST(PhoneDng, CutInsideThePreviewDecodesWhatIsThere) {
  const auto layout = DngSample(6);
  const auto file = BuildPhoneDng(layout);
  const DecodeResult result = DecodeImage(Cut(file, 440 + layout.preview.size() * 2 / 3));
  ASSERT_EQ(result.status, DecodeStatus::kPartial) << result.message;
  EXPECT_EQ(result.picture.width, 96);
  EXPECT_EQ(result.picture.height, 128);
  EXPECT_NE(result.message.find("ends early"), std::string::npos) << result.message;
}

}  // namespace
}  // namespace pictavo

namespace pictavo {
namespace {

TEST(PhoneDng, DevelopedRawIsTurnedOnce) {
  // The preview is too small for a full-size request: LibRaw develops the mosaic and turns it.
  const auto file = BuildPhoneDng({.preview = samples::EncodeJpeg({.width = 8, .height = 8}),
                                   .preview_width = 8,
                                   .preview_height = 8,
                                   .orientation = 6,
                                   .raw_width = 64,
                                   .raw_height = 48});
  const DecodeResult result = DecodeImage(file);
  ASSERT_EQ(result.status, DecodeStatus::kComplete) << result.message;
  EXPECT_EQ(result.full_width, 48);
  EXPECT_EQ(result.full_height, 64);
  EXPECT_EQ(result.picture.width, 48);
  EXPECT_EQ(result.picture.height, 64);
}

}  // namespace
}  // namespace pictavo

namespace pictavo {
namespace {

TEST(LargeFiles, MappedFileDecodesLikeTheBytesInMemory) {
  // A 20 MiB CR3 (the raw track's data is filler): loaded from its path, the file is mapped and
  // only the JPEG's pages are read.
  auto layout = Cr3Sample(6);
  layout.raw_bytes = 20u << 20;
  const auto bytes = BuildCr3(layout);
  ASSERT_GE(bytes.size(), kMapFileSize);
  samples::TempDir dir;
  const std::string path = dir.File("large.cr3");
  ASSERT_TRUE(samples::WriteFile(path, bytes));
  const DecodeResult from_file = DecodeImageFile(path, FormatHint::kDetect);
  const DecodeResult from_memory = DecodeImage(bytes);
  ASSERT_EQ(from_file.status, DecodeStatus::kComplete) << from_file.message;
  EXPECT_EQ(from_file.picture.width, 64);
  EXPECT_EQ(from_file.picture.pixels, from_memory.picture.pixels);
}

}  // namespace
}  // namespace pictavo
