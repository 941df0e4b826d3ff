#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "imaging/image_decoder.h"
#include "samples/image_builder.h"
#include "samples/jpeg_sample.h"
#include "samples/modern_picture_samples.h"
#include "samples/picture_samples.h"
#include "support/cli_run.h"

namespace {

using pictavo::samples::EncodeJpeg;
using pictavo::samples::ImageBuilder;
using pictavo::samples::TempDir;

using pictavo::testing::CliRun;

CliRun Cli(const std::string& arguments) { return pictavo::testing::RunCli(arguments, true); }

TEST(CliPreview, WritesTheFoundPhotoAsPngFittedOnRequest) {
  TempDir dir;
  ImageBuilder builder(512, 9);
  builder.Gap(5);
  const auto jpeg = EncodeJpeg({.width = 400, .height = 300});
  const uint64_t at = builder.Place(jpeg);
  builder.Gap(5);
  ASSERT_TRUE(builder.WriteRaw(dir.File("card.dd")));
  const std::string extent = std::to_string(at) + " " + std::to_string(jpeg.size());

  CliRun run =
      Cli("preview " + dir.File("card.dd") + " " + extent + " jpeg --out " + dir.File("a.png"));
  EXPECT_EQ(run.status, 0) << run.out;
  pictavo::DecodeResult png =
      pictavo::DecodeImageFile(dir.File("a.png"), pictavo::FormatHint::kDetect);
  EXPECT_EQ(png.format, pictavo::ImageFormat::kPng);
  EXPECT_EQ(png.picture.width, 400);

  run = Cli("preview --fit 100x100 " + dir.File("card.dd") + " " + extent +
            " 10 --out=" + dir.File("b.png"));
  EXPECT_EQ(run.status, 0) << run.out;
  png = pictavo::DecodeImageFile(dir.File("b.png"), pictavo::FormatHint::kDetect);
  EXPECT_EQ(png.picture.width, 100);
  EXPECT_EQ(png.picture.height, 75);

  // Cut short: still written, exit status 3.
  run = Cli("preview " + dir.File("card.dd") + " " + std::to_string(at) + " " +
            std::to_string(jpeg.size() / 2) + " jpeg --out " + dir.File("c.png"));
  EXPECT_EQ(run.status, 3) << run.out;
  EXPECT_NE(run.out.find("partial"), std::string::npos) << run.out;
}

TEST(CliPreview, ModernPicturesPreviewUprightAndCutOnesPartly) {
  TempDir dir;
  ImageBuilder builder(512, 9);
  builder.Gap(5);
  const auto webp = pictavo::samples::pattern::EncodeWebp({.width = 64, .height = 48});
  const uint64_t webp_at = builder.Place(webp);
  builder.Gap(3);
  const auto cr3 =
      pictavo::samples::pattern::BuildCr3({.full = EncodeJpeg({.width = 120, .height = 80}),
                                           .preview = {},
                                           .thumbnail = {},
                                           .orientation = 6});
  const uint64_t cr3_at = builder.Place(cr3);
  builder.Gap(5);
  ASSERT_TRUE(builder.WriteRaw(dir.File("card.dd")));

  // Types by number: 32 WebP, 31 CR3.
  CliRun run = Cli("preview " + dir.File("card.dd") + " " + std::to_string(webp_at) + " " +
                   std::to_string(webp.size()) + " 32 --out " + dir.File("w.png"));
  EXPECT_EQ(run.status, 0) << run.out;
  pictavo::DecodeResult png =
      pictavo::DecodeImageFile(dir.File("w.png"), pictavo::FormatHint::kDetect);
  EXPECT_EQ(png.picture.width, 64);

  run = Cli("preview " + dir.File("card.dd") + " " + std::to_string(cr3_at) + " " +
            std::to_string(cr3.size()) + " 31 --out " + dir.File("c.png"));
  EXPECT_EQ(run.status, 0) << run.out;
  png = pictavo::DecodeImageFile(dir.File("c.png"), pictavo::FormatHint::kDetect);
  EXPECT_EQ(png.picture.width, 80);
  EXPECT_EQ(png.picture.height, 120);

  run = Cli("preview " + dir.File("card.dd") + " " + std::to_string(webp_at) + " " +
            std::to_string(webp.size() * 2 / 3) + " 32 --out " + dir.File("p.png"));
  EXPECT_EQ(run.status, 3) << run.out;
  EXPECT_NE(run.out.find("partial"), std::string::npos) << run.out;
}

TEST(CliPreview, RefusalsUseTheWizardsTexts) {
  TempDir dir;
  pictavo::samples::WriteFile(dir.File("card.dd"), std::vector<uint8_t>(4096, 0));
  CliRun run = Cli("preview " + dir.File("card.dd") + " 0 100 avi --out " + dir.File("x.png"));
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(
      run.out.find("Preview is not available for audio and video file formats in this version."),
      std::string::npos);
  run = Cli("preview " + dir.File("card.dd") + " 0 20971520 jpeg --out " + dir.File("x.png"));
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("Preview of this file is not possible, file is too large"),
            std::string::npos);
  run = Cli("preview " + dir.File("card.dd") + " 0 4096 jpeg --out " + dir.File("x.png"));
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("could not be decoded"), std::string::npos) << run.out;
  run = Cli("preview " + dir.File("card.dd") + " 0 100 jpeg");
  EXPECT_EQ(run.status, 2);
}

TEST(CliScanCheck, AddsADecodeColumnAndCountsPerType) {
  TempDir dir;
  ImageBuilder builder(512, 4);
  builder.Gap(2);
  const auto good = EncodeJpeg({.width = 200, .height = 150, .seed = 3});
  builder.Place(good);
  builder.Gap(2);
  // Entropy data cut in the middle and closed with an end-of-image marker: the recogniser finds
  // a whole file, the decoder sees the data end early.
  auto cut = EncodeJpeg({.width = 200, .height = 150, .seed = 4});
  cut.resize(cut.size() / 2);
  cut.push_back(0xFF);
  cut.push_back(0xD9);
  builder.Place(cut);
  builder.Gap(2);
  ASSERT_TRUE(builder.WriteDiskImage(dir.File("card.img")));

  CliRun run = Cli("scan --check --format tsv " + dir.File("card.img"));
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("type\text\toffset\tlength\tdecode\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\tcomplete\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\tpartial\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("JPEG (2)       1 complete, 1 partial, 0 failed"), std::string::npos)
      << run.out;
}

}  // namespace
