// Real phone and modern-camera pictures from the shared corpus, when it is present: each shows
// upright at its own size, and a cut one shows what it holds or says why not.
#include <gtest/gtest.h>

#include <filesystem>

#include "imaging/image_decoder.h"
#include "samples/image_builder.h"

namespace pictavo {
namespace {

struct ModernCase {
  const char* path;
  ImageFormat format;
  int width;  // as shown, upright
  int height;
  DecodeStatus status;
  // Where the cut test cuts the file, when not in the middle: the picture's data lies early in it.
  size_t cut = 0;
};

constexpr DecodeStatus kComplete = DecodeStatus::kComplete;
constexpr DecodeStatus kPartial = DecodeStatus::kPartial;
constexpr DecodeStatus kFailed = DecodeStatus::kFailed;

const ModernCase kModernCases[] = {
    {"heic/iphone13pro-grid8x6-depth.heic", ImageFormat::kHeif, 4032, 3024, kComplete},
    {"heic/libheif-example-five-mdat-boxes.heic", ImageFormat::kHeif, 1280, 854, kComplete},
    // Its irot turns it a quarter (the EXIF orientation 6 says the same and is not applied again).
    {"heic/samsung-s22plus-motionphoto-mpvd-sefd.heic", ImageFormat::kHeif, 3000, 4000, kComplete,
     200000},
    {"heic/samsung-s25u-mdat-first-gainmap-sefd.heic", ImageFormat::kHeif, 4000, 1848, kComplete},
    {"heic/sony-a7s3-10bit-heix-grid2x2.hif", ImageFormat::kHeif, 4240, 2832, kComplete},
    {"avif/linku-fox-10bit-420.avif", ImageFormat::kAvif, 1204, 800, kComplete},
    // This libheif (1.15) cannot follow the alpha reference of an image sequence: it says so.
    {"avif/linku-star-10bit-alpha-animated.avifs", ImageFormat::kAvif, 0, 0, kFailed},
    {"avif/ms-bbb-4k-alpha-exif.avif", ImageFormat::kAvif, 3840, 2160, kComplete},
    {"avif/ms-tomsk-grid5x4-6400x2880.avif", ImageFormat::kAvif, 6400, 2880, kComplete},
    {"avif/ms-tomsk-with-thumbnails.avif", ImageFormat::kAvif, 1280, 720, kComplete},
    {"avif/xiph-fruits-2layer-progressive.avif", ImageFormat::kAvif, 1296, 864, kComplete},
    {"webp/exiv2-nikon-d5300-iccp-exif-xmp.webp", ImageFormat::kWebp, 1200, 800, kComplete},
    {"webp/libwebp-vp8-simple-riff-info-chunks.webp", ImageFormat::kWebp, 128, 128, kComplete},
    {"webp/libwebp-vp8l-lossless-1000x307.webp", ImageFormat::kWebp, 1000, 307, kComplete},
    {"webp/libwebp-vp8x-alph-lossy-alpha.webp", ImageFormat::kWebp, 1000, 307, kComplete},
    {"webp/pillow-animated-42frames.webp", ImageFormat::kWebp, 245, 245, kComplete, 2000},
    // Stripped: its JPEGs are placeholder texts; LibRaw develops what stands for the raw data
    // and finds it damaged.
    {"cr3/canon-m50-stripped.cr3", ImageFormat::kCr3, 6024, 4020, kPartial},
    // No media data: the PRVW preview (1620 x 1080) is all there is.
    {"cr3/canon-r6-pruned-no-mdat.cr3", ImageFormat::kCr3, 1620, 1080, kPartial},
    // Cut inside the PRVW preview; orientation 6.
    {"cr3/canon-eosr-first-128KiB.cr3", ImageFormat::kCr3, 1080, 1620, kPartial},
    // Cut before its preview and raw data begin: nothing to show, and a reason.
    {"dng/iphone12pro-proraw-first-64104B.dng", ImageFormat::kTiff, 0, 0, kFailed},
    // Cut inside its raw data; the preview is whole but not the raw. Orientation 6.
    {"dng/leica-m10-first100000B.dng", ImageFormat::kTiff, 3968, 5952, kPartial},
};

TEST(ModernCorpus, RealPicturesShowUprightAtTheirSize) {
  const std::filesystem::path root = PICTAVO_CORPUS_DIR;
  if (!std::filesystem::exists(root / "MANIFEST.tsv")) GTEST_SKIP() << "no corpus at " << root;
  for (const ModernCase& c : kModernCases) {
    const auto path = root / c.path;
    if (!std::filesystem::exists(path)) continue;
    SCOPED_TRACE(c.path);
    const auto bytes = samples::ReadFile(path.string());
    EXPECT_EQ(DetectImageFormat(bytes), c.format);
    const DecodeResult result = DecodeImage(bytes, {.fit_width = 640, .fit_height = 640});
    EXPECT_EQ(result.status, c.status) << result.message;
    if (c.status == kFailed) {
      EXPECT_FALSE(result.message.empty());
      continue;
    }
    EXPECT_EQ(c.status == kComplete, result.message.empty()) << result.message;
    const PictureSize fitted = FitWithin(c.width, c.height, 640, 640);
    EXPECT_EQ(result.picture.width, fitted.width);
    EXPECT_EQ(result.picture.height, fitted.height);
    if (c.status == kComplete) {
      EXPECT_EQ(result.full_width, c.width);
      EXPECT_EQ(result.full_height, c.height);
    }
  }
}

TEST(ModernCorpus, CutPicturesShowWhatTheyHoldOrSayWhyNot) {
  const std::filesystem::path root = PICTAVO_CORPUS_DIR;
  if (!std::filesystem::exists(root / "MANIFEST.tsv")) GTEST_SKIP() << "no corpus at " << root;
  for (const ModernCase& c : kModernCases) {
    const auto path = root / c.path;
    if (c.status != kComplete || !std::filesystem::exists(path)) continue;
    SCOPED_TRACE(c.path);
    const auto bytes = samples::ReadFile(path.string());
    const std::span<const uint8_t> half(bytes.data(), c.cut ? c.cut : bytes.size() / 2);
    const DecodeResult result = DecodeImage(half, {.fit_width = 320, .fit_height = 320});
    EXPECT_NE(result.status, kComplete);
    EXPECT_FALSE(result.message.empty());
    if (result.ok()) {
      EXPECT_FALSE(result.picture.Empty());
    }
  }
}

}  // namespace
}  // namespace pictavo
