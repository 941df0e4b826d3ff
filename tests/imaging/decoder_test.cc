#include <gtest/gtest.h>

#include "imaging/image_decoder.h"
#include "imaging/placeholder.h"
#include "samples/image_builder.h"
#include "test_pictures.h"

namespace pictavo {
namespace {

using testing::AllSamples;
using testing::DifferenceFromPattern;

TEST(Decoders, EverySampleDecodesCompletelyAtItsSize) {
  for (const auto& sample : AllSamples()) {
    SCOPED_TRACE(sample.name);
    ASSERT_FALSE(sample.bytes.empty()) << "the encoder failed";
    EXPECT_EQ(DetectImageFormat(sample.bytes),
              sample.format == ImageFormat::kRaw ? ImageFormat::kTiff : sample.format);
    const DecodeResult result = DecodeImage(sample.bytes);
    EXPECT_EQ(result.status, DecodeStatus::kComplete) << result.message;
    EXPECT_EQ(result.format, sample.format);
    EXPECT_EQ(result.full_width, sample.width);
    EXPECT_EQ(result.full_height, sample.height);
    ASSERT_EQ(result.picture.width, sample.width);
    ASSERT_EQ(result.picture.height, sample.height);
    ASSERT_EQ(result.picture.pixels.size(), size_t(sample.width) * sample.height);
    if (sample.tolerance >= 0) {
      EXPECT_LE(DifferenceFromPattern(result.picture), sample.tolerance);
    }
  }
}

TEST(Decoders, LossyAndReducedSamplesStayCloseToThePattern) {
  // The JPEG pattern generator adds noise of its own, so compare the decoded JPEG with the same
  // file decoded through the TIFF-in-JPEG path instead: both must at least show the gradient.
  const DecodeResult jpeg = DecodeImage(samples::EncodeJpeg({.width = 64, .height = 64}));
  ASSERT_TRUE(jpeg.ok());
  EXPECT_LT((jpeg.picture.At(0, 32) >> 16) & 0xFF, (jpeg.picture.At(63, 32) >> 16) & 0xFF);
  // Grey 16-bit PNG: every channel holds the pattern's red.
  const DecodeResult grey = DecodeImage(samples::pattern::EncodePng(
      {.colour = samples::pattern::PngOptions::Colour::kGray, .sixteen_bit = true}));
  ASSERT_TRUE(grey.ok());
  EXPECT_EQ(grey.picture.At(63, 5), PackRgb(255, 255, 255));
  EXPECT_EQ(grey.picture.At(0, 5), PackRgb(0, 0, 0));
  // 1-bit bitmap: black and white by the pattern's green.
  const DecodeResult mono = DecodeImage(samples::pattern::EncodeBmp({.width = 37, .bits = 1}));
  ASSERT_TRUE(mono.ok());
  EXPECT_EQ(mono.picture.At(5, 0), PackRgb(0, 0, 0));
  EXPECT_EQ(mono.picture.At(5, 47), PackRgb(255, 255, 255));
}

TEST(Decoders, RawWithoutPreviewIsDemosaiced) {
  const auto dng = samples::pattern::EncodeDng({.width = 320, .height = 240});
  const DecodeResult full = DecodeImage(dng);
  ASSERT_EQ(full.status, DecodeStatus::kComplete) << full.message;
  EXPECT_EQ(full.format, ImageFormat::kRaw);
  EXPECT_EQ(full.picture.width, 320);
  // Fitted: half the sensor resolution is enough, then shrunk to the box.
  const DecodeResult small = DecodeImage(dng, {.fit_width = 100, .fit_height = 100});
  ASSERT_TRUE(small.ok()) << small.message;
  EXPECT_EQ(small.picture.width, 100);
  EXPECT_EQ(small.picture.height, 75);
  EXPECT_EQ(small.full_width, 320);
}

TEST(Decoders, SigmaX3fShowsItsLargestJpegPreview) {
  // Header, two image sections (a small and a large JPEG), the directory, its offset at the end.
  auto put32 = [](std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  std::vector<uint8_t> x3f = {'F', 'O', 'V', 'b'};
  x3f.resize(256, 0);
  std::vector<std::pair<uint32_t, uint32_t>> sections;
  for (int width : {32, 160}) {
    const auto jpeg = samples::EncodeJpeg({.width = width, .height = width * 3 / 4});
    sections.emplace_back(static_cast<uint32_t>(x3f.size()),
                          static_cast<uint32_t>(jpeg.size() + 28));
    for (char c : std::string("SECi")) x3f.push_back(c);
    for (uint32_t v : {0x00020000u, 2u, 18u, uint32_t(width), uint32_t(width * 3 / 4), 0u}) {
      put32(x3f, v);
    }
    x3f.insert(x3f.end(), jpeg.begin(), jpeg.end());
  }
  const uint32_t directory = static_cast<uint32_t>(x3f.size());
  for (char c : std::string("SECd")) x3f.push_back(c);
  put32(x3f, 0x00020000);
  put32(x3f, static_cast<uint32_t>(sections.size()));
  for (const auto& [offset, length] : sections) {
    put32(x3f, offset);
    put32(x3f, length);
    for (char c : std::string("IMA2")) x3f.push_back(c);
  }
  put32(x3f, directory);
  const DecodeResult result = DecodeImage(x3f);
  ASSERT_EQ(result.status, DecodeStatus::kComplete) << result.message;
  EXPECT_EQ(result.format, ImageFormat::kRaw);
  EXPECT_EQ(result.picture.width, 160);
  // Without its directory offset the file has nothing to show.
  x3f.resize(x3f.size() - 4);
  EXPECT_FALSE(DecodeImage(x3f).ok());
}

TEST(Decoders, FittedDecodesFitTheBoxAndMatchTheFullDecode) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {"jpeg", samples::EncodeJpeg({.width = 1600, .height = 1200, .quality = 90})},
      {"j2k", samples::pattern::EncodeJpeg2000({.width = 800, .height = 600, .resolutions = 5})},
      {"png", samples::pattern::EncodePng({.width = 800, .height = 600})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DecodeResult full = DecodeImage(c.bytes);
    const DecodeResult fitted = DecodeImage(c.bytes, {.fit_width = 200, .fit_height = 200});
    ASSERT_EQ(fitted.status, DecodeStatus::kComplete);
    EXPECT_EQ(fitted.picture.width, 200);
    EXPECT_EQ(fitted.picture.height, 150);
    EXPECT_EQ(fitted.full_width, full.picture.width);
    ASSERT_TRUE(ResamplePicture(full.picture, 200, 150));
    // Red and green hold smooth gradients (blue a checkerboard, whose edges each reduction
    // filter smooths its own way).
    double total = 0;
    for (size_t i = 0; i < full.picture.pixels.size(); ++i) {
      for (int shift : {8, 16}) {
        total += std::abs(int((full.picture.pixels[i] >> shift) & 0xFF) -
                          int((fitted.picture.pixels[i] >> shift) & 0xFF));
      }
    }
    EXPECT_LT(total / (2.0 * 200 * 150), 3.0);
  }
  // A picture smaller than the box is not enlarged.
  const DecodeResult small =
      DecodeImage(samples::pattern::EncodePng({}), {.fit_width = 500, .fit_height = 500});
  EXPECT_EQ(small.picture.width, 64);
}

TEST(Decoders, SignaturesDecideTheFormat) {
  using namespace std::string_view_literals;
  struct Case {
    std::string_view head;
    ImageFormat format;
  };
  const Case cases[] = {
      {"\xFF\xD8\xFF\xE0"sv, ImageFormat::kJpeg},
      {"\x89PNG\r\n\x1A\n"sv, ImageFormat::kPng},
      {"GIF89a"sv, ImageFormat::kGif},
      {"GIF87a"sv, ImageFormat::kGif},
      {"GIF88a"sv, ImageFormat::kUnknown},
      {"II*\0\x08\0\0\0"sv, ImageFormat::kTiff},
      {"MM\0*\0\0\0\x08"sv, ImageFormat::kTiff},
      {"BM6\0\0\0"sv, ImageFormat::kBmp},
      {"\xFF\x4F\xFF\x51"sv, ImageFormat::kJ2k},
      {"\0\0\0\x0CjP  \r\n\x87\n"sv, ImageFormat::kJp2},
      {"IIRO\x08\0\0\0"sv, ImageFormat::kRaw},
      {"IIU\0\x08\0\0\0"sv, ImageFormat::kRaw},
      {"II\x1A\0\0\0HEAPCCDR"sv, ImageFormat::kRaw},
      {"FUJIFILMCCD-RAW "sv, ImageFormat::kRaw},
      {"\0MRM\0\0"sv, ImageFormat::kRaw},
      {"FOVb"sv, ImageFormat::kRaw},
      {"RIFF\0\0\0\0AVI "sv, ImageFormat::kUnknown},
      {""sv, ImageFormat::kUnknown},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> bytes(c.head.begin(), c.head.end());
    EXPECT_EQ(DetectImageFormat(bytes), c.format) << ImageFormatName(c.format);
  }
}

TEST(Decoders, FilesAreLoadedWithTheHintRule) {
  samples::TempDir dir;
  // A bitmap and a PNG load the same with either hint.
  ASSERT_TRUE(samples::WriteFile(dir.File("a.bmp"), samples::pattern::EncodeBmp({})));
  ASSERT_TRUE(samples::WriteFile(dir.File("a.png"), samples::pattern::EncodePng({})));
  for (FormatHint hint : {FormatHint::kDetect, FormatHint::kBitmapFirst}) {
    EXPECT_EQ(DecodeImageFile(dir.File("a.bmp"), hint).format, ImageFormat::kBmp);
    const DecodeResult png = DecodeImageFile(dir.File("a.png"), hint);
    EXPECT_EQ(png.format, ImageFormat::kPng);
    EXPECT_EQ(png.status, DecodeStatus::kComplete);
  }
  const DecodeResult missing = DecodeImageFile(dir.File("none.jpeg"), FormatHint::kDetect);
  EXPECT_EQ(missing.status, DecodeStatus::kFailed);
  EXPECT_EQ(missing.message, "No such file or directory");
  ASSERT_TRUE(samples::WriteFile(dir.File("text.jpeg"), {'h', 'e', 'l', 'l', 'o'}));
  EXPECT_FALSE(DecodeImageFile(dir.File("text.jpeg"), FormatHint::kBitmapFirst).ok());
}

TEST(Decoders, HeadersAskingForHugePicturesAreRefusedBeforeAllocating) {
  // A PNG header claiming 60000 x 60000 pixels, a BMP claiming 2^31 - 1 columns, a GIF screen of
  // 65535 x 65535: each must fail at once instead of allocating gigabytes.
  auto png = samples::pattern::EncodePng({});
  png[16] = 0;
  png[17] = 0;
  png[18] = 0xEA;
  png[19] = 0x60;
  png[20] = 0;
  png[21] = 0;
  png[22] = 0xEA;
  png[23] = 0x60;
  auto bmp = samples::pattern::EncodeBmp({});
  bmp[18] = 0xFF;
  bmp[19] = 0xFF;
  bmp[20] = 0xFF;
  bmp[21] = 0x7F;
  auto gif = samples::pattern::EncodeGif({});
  gif[6] = gif[7] = gif[8] = gif[9] = 0xFF;
  for (const auto* bytes : {&png, &bmp, &gif}) {
    const DecodeResult result = DecodeImage(*bytes);
    EXPECT_EQ(result.status, DecodeStatus::kFailed);
    EXPECT_TRUE(result.picture.pixels.empty());
  }
  // The caller's limit applies too.
  EXPECT_FALSE(
      DecodeImage(samples::EncodeJpeg({.width = 200, .height = 200}), {.max_pixels = 10000}).ok());
}

TEST(Decoders, BitmapsReadRunLengthsAndBothRowOrders) {
  const DecodeResult up = DecodeImage(samples::pattern::EncodeBmp({.bits = 24}));
  const DecodeResult down =
      DecodeImage(samples::pattern::EncodeBmp({.bits = 24, .top_down = true}));
  ASSERT_TRUE(up.ok() && down.ok());
  EXPECT_EQ(up.picture.pixels, down.picture.pixels);

  // RLE8: two rows of 4 pixels, bottom-up: a run, an absolute run, end of line, a delta, end.
  std::vector<uint8_t> rle = samples::pattern::EncodeBmp({.width = 4, .height = 2, .bits = 8});
  const uint32_t offset = rle[10] | rle[11] << 8;
  rle.resize(offset);
  rle[30] = 1;  // BI_RLE8
  for (uint8_t b : {4, 7, 0, 0, 0, 3, 1, 2, 3, 0, 0, 1}) rle.push_back(b);
  const DecodeResult result = DecodeImage(rle);
  ASSERT_EQ(result.status, DecodeStatus::kComplete) << result.message;
  const auto colour = [&](int index) {
    const size_t at = 14 + 40 + index * 4;
    return PackRgb(rle[at + 2], rle[at + 1], rle[at]);
  };
  EXPECT_EQ(result.picture.At(0, 1), colour(7));  // bottom row
  EXPECT_EQ(result.picture.At(3, 1), colour(7));
  EXPECT_EQ(result.picture.At(0, 0), colour(1));
  EXPECT_EQ(result.picture.At(2, 0), colour(3));
  // Without the end-of-bitmap code the picture is partial.
  rle.resize(rle.size() - 2);
  EXPECT_EQ(DecodeImage(rle).status, DecodeStatus::kPartial);
}

TEST(Decoders, ThePlaceholderIsARealBitmap) {
  const auto bytes = MakePlaceholderBitmap();
  const DecodeResult result = DecodeImage(bytes);
  EXPECT_EQ(result.format, ImageFormat::kBmp);
  EXPECT_EQ(result.status, DecodeStatus::kComplete);
  EXPECT_EQ(result.picture.width, 160);
  EXPECT_EQ(result.picture.height, 120);
  EXPECT_FALSE(LoadPlaceholderPicture().Empty());
}

}  // namespace
}  // namespace pictavo
