// Carved files are often cut short or partly overwritten: every decoder must survive that,
// delivering either a failure or a picture of the declared size, never a crash (these tests also
// run under AddressSanitizer and UndefinedBehaviorSanitizer).
#include <gtest/gtest.h>

#include <random>

#include "test_pictures.h"

namespace pictavo {
namespace {

using testing::AllSamples;

void ExpectSane(const DecodeResult& result, const std::string& what) {
  if (!result.ok()) {
    EXPECT_TRUE(result.picture.pixels.empty()) << what;
    return;
  }
  EXPECT_GT(result.picture.width, 0) << what;
  EXPECT_GT(result.picture.height, 0) << what;
  EXPECT_EQ(result.picture.pixels.size(),
            size_t(result.picture.width) * size_t(result.picture.height))
      << what;
}

TEST(DamagedInput, TruncatedFilesFailCleanlyOrDecodePartially) {
  for (const auto& sample : AllSamples()) {
    const size_t size = sample.bytes.size();
    std::vector<size_t> cuts;
    for (size_t n = 0; n < std::min<size_t>(size, 80); ++n) cuts.push_back(n);
    for (int step = 1; step < 40; ++step) cuts.push_back(size * step / 40);
    for (size_t n = size > 8 ? size - 8 : 0; n < size; ++n) cuts.push_back(n);
    for (size_t cut : cuts) {
      const std::span<const uint8_t> part(sample.bytes.data(), cut);
      const DecodeResult result = DecodeImage(part);
      ExpectSane(result, sample.name + " cut at " + std::to_string(cut));
      if (result.ok() && result.format != ImageFormat::kRaw) {
        EXPECT_EQ(result.picture.width, sample.width) << sample.name << " cut at " << cut;
      }
    }
  }
}

TEST(DamagedInput, FilesCutInTheMiddleOfTheirPixelsAreReportedPartial) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {"jpeg", samples::EncodeJpeg({.width = 256, .height = 256})},
      {"jpeg progressive", samples::EncodeJpeg({.width = 256, .height = 256, .progressive = true})},
      {"png", samples::pattern::EncodePng({.width = 256, .height = 256})},
      {"gif", samples::pattern::EncodeGif({.width = 256, .height = 256})},
      {"bmp", samples::pattern::EncodeBmp({.width = 256, .height = 256})},
      {"j2k", samples::pattern::EncodeJpeg2000({.width = 256, .height = 256})},
  };
  for (const Case& c : cases) {
    const std::span<const uint8_t> half(c.bytes.data(), c.bytes.size() * 2 / 3);
    const DecodeResult result = DecodeImage(half);
    EXPECT_EQ(result.status, DecodeStatus::kPartial) << c.name << ": " << result.message;
    EXPECT_EQ(result.picture.width, 256) << c.name;
    EXPECT_EQ(result.picture.height, 256) << c.name;
    EXPECT_FALSE(result.message.empty()) << c.name;
  }
}

TEST(DamagedInput, FlippedBytesNeverCrash) {
  std::mt19937 rng(7);
  for (const auto& sample : AllSamples()) {
    for (int round = 0; round < 60; ++round) {
      std::vector<uint8_t> bytes = sample.bytes;
      const int flips = 1 + static_cast<int>(rng() % 8);
      for (int i = 0; i < flips; ++i) {
        // Mostly in the headers, where numbers steer the decoders, some anywhere.
        const size_t limit = (round % 2) ? bytes.size() : std::min<size_t>(bytes.size(), 200);
        bytes[rng() % limit] ^= static_cast<uint8_t>(1u << (rng() % 8));
      }
      const DecodeResult result = DecodeImage(bytes, {.max_pixels = 4'000'000});
      ExpectSane(result, sample.name + " round " + std::to_string(round));
      const DecodeResult fitted =
          DecodeImage(bytes, {.fit_width = 20, .fit_height = 20, .max_pixels = 4'000'000});
      ExpectSane(fitted, sample.name + " fitted, round " + std::to_string(round));
    }
  }
}

TEST(DamagedInput, EveryDecoderRejectsEveryOtherFormat) {
  const auto samples_list = AllSamples();
  const ImageFormat formats[] = {ImageFormat::kBmp,  ImageFormat::kJpeg, ImageFormat::kPng,
                                 ImageFormat::kGif,  ImageFormat::kTiff, ImageFormat::kJ2k,
                                 ImageFormat::kJp2,  ImageFormat::kRaw,  ImageFormat::kHeif,
                                 ImageFormat::kAvif, ImageFormat::kWebp, ImageFormat::kCr3};
  for (ImageFormat format : formats) {
    for (const auto& sample : samples_list) {
      const DecodeResult result = DecodeImageAs(format, sample.bytes);
      ExpectSane(result, sample.name + " as " + std::string(ImageFormatName(format)));
    }
    std::vector<uint8_t> noise(4096);
    std::mt19937 rng(static_cast<uint32_t>(format));
    for (auto& b : noise) b = static_cast<uint8_t>(rng());
    EXPECT_FALSE(DecodeImageAs(format, noise).ok()) << ImageFormatName(format);
    EXPECT_FALSE(DecodeImageAs(format, {}).ok()) << ImageFormatName(format);
  }
}

TEST(DamagedInput, TruncatedRawKeepsItsSizeOrFails) {
  // libtiff writes the directory after the data, so most cuts lose it and the file fails; a cut
  // into the trailing tag values leaves a picture of the full size.
  const auto dng = samples::pattern::EncodeDng({.width = 256, .height = 192});
  for (size_t cut : {size_t{16}, dng.size() / 2, dng.size() * 3 / 4, dng.size() - 100}) {
    const DecodeResult result = DecodeImage(std::span<const uint8_t>(dng.data(), cut));
    ExpectSane(result, "dng cut at " + std::to_string(cut));
    if (result.ok()) {
      EXPECT_EQ(result.picture.width, 256);
    }
  }
}

}  // namespace
}  // namespace pictavo
