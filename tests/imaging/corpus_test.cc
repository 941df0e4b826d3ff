// Real files from cameras and other programs, when the shared corpus is present. Sizes are the
// ones exiftool reports for the files.
#include <gtest/gtest.h>

#include <filesystem>

#include "imaging/image_decoder.h"
#include "samples/image_builder.h"

namespace pictavo {
namespace {

struct CorpusCase {
  const char* path;
  int width;  // 0: the file is stripped or cut and must only fail or decode without harm
  int height;
};

const CorpusCase kCases[] = {
    {"jpeg/kodak-dc240.jpg", 640, 480},
    {"jpeg/sony-dslr-a200-fullsize.jpg", 3872, 2592},
    {"jpeg/canon-eos6d-progressive.jpg", 1500, 1000},
    {"png/photoshop-8x12-rgba32-interlaced.png", 8, 12},
    {"png/fireworks-private-chunks.png", 23, 25},
    {"png/palette-with-eXIf.png", 256, 256},
    {"gif/gif87a-triangle-interlaced.gif", 200, 200},
    {"gif/animated-23frames-xmp.gif", 48, 22},
    {"gif/gif89a-comment-xmp-icc.gif", 8, 8},
    {"bmp/gracehopper-v3hdr-32bpp.bmp", 256, 256},
    {"bmp/bmpsuite-g24.bmp", 127, 64},
    {"bmp/bmpsuite-g08rle.bmp", 127, 64},
    {"tiff/fuji-mx2900-camera.tif", 640, 480},
    {"tiff/cramps-tiled-bigendian.tif", 800, 607},
    {"tiff/bali-lzw-bigendian.tif", 725, 489},
    {"j2k/balloon-kakadu.j2c", 2717, 3701},
    {"j2k/jasper-70x46.j2c", 70, 46},
    {"j2k/openjpeg-9bit.j2k", 128, 128},
    {"jp2/balloon-tiled.jp2", 2717, 3701},
    {"jp2/test-card-rreq-tiled.jp2", 640, 480},
    {"jp2/boxes-after-codestream.jp2", 16, 16},
    {"cr2/canon-350d-stripped.cr2", 0, 0},
    {"crw/canon-digital-rebel-stripped.crw", 0, 0},
    {"crw/canon-powershot-s40-norawdata.crw", 0, 0},
    {"nef/nikon-d70-stripped.nef", 0, 0},
    {"nef/nef-header-128B.nef", 0, 0},
    {"orf/orf-header-128B.orf", 0, 0},
    {"arw/sony-a7iii-truncated.arw", 0, 0},
    {"arw/sony-zv-e10-first100000B.arw", 0, 0},
    {"dng/nikon-z9-adobe-dng-complete.dng", 0, 0},
    {"dng/canon-350d-dng-stripped-bigendian.dng", 0, 0},
    {"dng/leica-m10-first100000B.dng", 0, 0},
    {"raf/fuji-s5pro-stripped.raf", 0, 0},
    {"raf/fuji-gfx50r-header-128B.raf", 0, 0},
    {"mrw/minolta-a2-stripped.mrw", 0, 0},
    {"x3f/sigma-sd10-stripped.x3f", 0, 0},
    {"x3f/sigma-dp2-stripped.x3f", 8, 8},  // its embedded JPEG preview
    {"rw2/panasonic-lx3-stripped.rw2", 0, 0},
    {"rw2/rw2-header-128B.rw2", 0, 0},
};

TEST(Corpus, RealSamplesDecodeAtTheSizeExiftoolReports) {
  const std::filesystem::path root = PICTAVO_CORPUS_DIR;
  if (!std::filesystem::exists(root / "MANIFEST.tsv")) GTEST_SKIP() << "no corpus at " << root;
  for (const CorpusCase& c : kCases) {
    const auto path = root / c.path;
    if (!std::filesystem::exists(path)) continue;
    SCOPED_TRACE(c.path);
    const auto bytes = samples::ReadFile(path.string());
    // Fitted, so that the stripped raws are not demosaiced at full size.
    const DecodeResult result = DecodeImage(bytes, {.fit_width = 640, .fit_height = 640});
    if (c.width == 0) {
      if (result.ok()) {
        EXPECT_FALSE(result.picture.Empty());
      }
      continue;
    }
    EXPECT_EQ(result.status, DecodeStatus::kComplete) << result.message;
    EXPECT_EQ(result.full_width, c.width);
    EXPECT_EQ(result.full_height, c.height);
    const PictureSize fitted = FitWithin(c.width, c.height, 640, 640);
    EXPECT_EQ(result.picture.width, fitted.width);
    EXPECT_EQ(result.picture.height, fitted.height);
  }
}

TEST(Corpus, TruncatedRealTiffDecodesPartially) {
  // This camera writes its directory first, so a cut file still knows its size.
  const auto path = std::filesystem::path(PICTAVO_CORPUS_DIR) / "tiff/fuji-mx2900-camera.tif";
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "no corpus";
  const auto bytes = samples::ReadFile(path.string());
  const DecodeResult result = DecodeImage(std::span<const uint8_t>(bytes.data(), bytes.size() / 2));
  EXPECT_EQ(result.status, DecodeStatus::kPartial) << result.message;
  EXPECT_EQ(result.picture.width, 640);
}

TEST(Corpus, TruncatedRealJpegDecodesPartially) {
  const auto path = std::filesystem::path(PICTAVO_CORPUS_DIR) / "jpeg/sony-dslr-a200-fullsize.jpg";
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "no corpus";
  const auto bytes = samples::ReadFile(path.string());
  const DecodeResult result = DecodeImage(std::span<const uint8_t>(bytes.data(), bytes.size() / 2),
                                          {.fit_width = 400, .fit_height = 400});
  EXPECT_EQ(result.status, DecodeStatus::kPartial);
  EXPECT_EQ(result.full_width, 3872);
}

}  // namespace
}  // namespace pictavo
