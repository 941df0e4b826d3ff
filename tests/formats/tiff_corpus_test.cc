// Real TIFF and camera raw samples laid into media, scanned with every type selected. Most are
// stripped of their image data or cut short (see the corpus manifest), so the lengths the rules
// give are stated here one by one, with the reason wherever they differ from the file's size.
#include <string>

#include "samples/image_builder.h"
#include "tiff_test_support.h"

namespace pictavo {
namespace {

using namespace tiff_test;
using samples::ImageBuilder;

constexpr uint64_t kCap = 0xFA00000;

// The classic types: these are the lengths their rules give. (With every type selected, the
// Canon DNG is a find of the DNGs of other makers.)
FileTypeSelection Classic() {
  FileTypeSelection selection;
  selection.SelectClassicOnly();
  return selection;
}

struct Sample {
  const char* path;
  // What the scan records at the sample's offset (kTypeNone: nothing).
  FileTypeId type;
  // The length measured with zeros behind the sample.
  uint64_t length;
  // Complete files: the length must cover the whole file unless `why` says otherwise.
  bool complete;
  const char* why;
};

const Sample kSamples[] = {
    {"tiff/bali-lzw-bigendian.tif", kTypeTiff, 179'378 + 572, true,
     "572 long: the 45-entry strip arrays lie behind the entries and are counted twice (+360), "
     "the directory is added for both strip tags (+222), DocumentName before StripOffsets is "
     "lost (-10)"},
    {"tiff/cramps-tiled-bigendian.tif", kTypeTiff, 786'758 + 318, true,
     "318 long: strip arrays counted twice (+96), directory added twice (+222)"},
    {"tiff/fuji-mx2900-camera.tif", kTypeTiff, 39'832, true,
     "614,198 short: the last main directory with strips is the thumbnail's (IFD1, strip at "
     "1,230 of 38,400 bytes), which lies before the image's 32 strips"},
    {"cr2/canon-350d-stripped.cr2", kTypeCr2, 8'664, false,
     "60 short: the stripped raw strip of the fourth directory (8,648 + 16) is followed by the "
     "stripped IFD0 and IFD2 strips and 18 trailing bytes"},
    {"nef/nikon-d70-stripped.nef", kTypeNef, 1'394, false,
     "4,794 short: the raw strip of the second sub-IFD (1,376 + 18, stripped) lies before the "
     "EXIF data and maker notes"},
    // IFD0 runs past the 128 bytes into zeros: its Make text lies beyond them, so only the
    // plain TIFF handler takes it.
    {"nef/nef-header-128B.nef", kTypeTiff, 205'436, false,
     "the visible StripOffsets value 205,436 (the entries behind it read as zeros)"},
    // "IIRO" is not a standard TIFF header, and the Make lies beyond the 128 bytes.
    {"orf/orf-header-128B.orf", kTypeNone, 0, false, "ORF maker test fails: nothing found"},
    {"rw2/rw2-header-128B.rw2", kTypeNone, 0, false, "Panasonic maker test fails: nothing found"},
    {"rw2/panasonic-lx3-stripped.rw2", kTypeRaw, 20'511'792 + 512, false,
     "20,499,960 long: strip offset stored as 0xFFFFFFFF, so the length is the byte count of the "
     "removed raw data plus one sector"},
    {"arw/sony-a7iii-truncated.arw", kTypeArw, 0, false,
     "0: the sub-IFD (at 133,316) lies beyond the truncated file and reads as zeros"},
    {"arw/sony-zv-e10-first100000B.arw", kTypeArw, 0, false,
     "0: the sub-IFD (at 116,362) lies beyond the truncated file"},
    {"dng/leica-m10-first100000B.dng", kTypeDng, 0, false,
     "0: three SubIFDs are listed, and a count other than 1 or 2 names no sub-IFD to measure "
     "(the raw image is in IFD0)"},
    {"dng/nikon-z9-adobe-dng-complete.dng", kTypeNef, kCap, true,
     "found as NEF: the DNG handler accepts only Pentax and Leica, and the Make NIKON passes the "
     "NEF test; its sub-IFD holds tiles, which the NEF rule does not read, so no length: cap"},
    {"dng/canon-350d-dng-stripped-bigendian.dng", kTypeTiff, 13'662 + 712, false,
     "found as TIFF (Canon is not a DNG maker, no CR marker): 712 long by the size rule over "
     "IFD0's out-of-line values after StripOffsets, counted in with their own offsets"},
};

TEST(TiffCorpus, SamplesLaidIntoMedia) {
  int tried = 0;
  for (const Sample& sample : kSamples) {
    const auto bytes = samples::ReadFile(std::string(PICTAVO_CORPUS_DIR) + "/" + sample.path);
    if (bytes.empty()) continue;
    ++tried;
    SCOPED_TRACE(std::string(sample.path) + ": " + sample.why);
    // Between zeros: the exact length, at the start of the medium and a few sectors in.
    for (const uint32_t lead : {0u, 7u}) {
      ImageBuilder builder(512, 3);
      if (lead) builder.Gap(lead, ImageBuilder::Fill::kZeros);
      const uint64_t at = builder.Place(bytes, ImageBuilder::Fill::kZeros);
      builder.Gap(32, ImageBuilder::Fill::kZeros);
      const auto found = Scan(builder.bytes(), Classic());
      const FoundFile* file = FindAt(found, at);
      if (sample.type == kTypeNone) {
        EXPECT_EQ(file, nullptr);
        continue;
      }
      ASSERT_NE(file, nullptr);
      EXPECT_EQ(file->type, sample.type);
      EXPECT_EQ(file->length, sample.length);
    }
    // Between random bytes: the same type at the same place.
    ImageBuilder builder(512, 17);
    builder.Gap(9, ImageBuilder::Fill::kRandom);
    const uint64_t at = builder.Place(bytes, ImageBuilder::Fill::kRandom);
    builder.Gap(32, ImageBuilder::Fill::kRandom);
    const auto found = Scan(builder.bytes(), Classic());
    const FoundFile* file = FindAt(found, at);
    EXPECT_EQ(file == nullptr ? kTypeNone : file->type, sample.type);
  }
  if (tried == 0) GTEST_SKIP() << "corpus not present at " << PICTAVO_CORPUS_DIR;
}

TEST(TiffCorpus, CompleteSamplesAreCoveredExceptWhereTheRulesSayOtherwise) {
  for (const Sample& sample : kSamples) {
    if (!sample.complete) continue;
    const auto bytes = samples::ReadFile(std::string(PICTAVO_CORPUS_DIR) + "/" + sample.path);
    if (bytes.empty()) GTEST_SKIP() << "corpus not present";
    SCOPED_TRACE(sample.path);
    const bool covered = sample.length >= bytes.size();
    const bool known_short = std::string(sample.path) == "tiff/fuji-mx2900-camera.tif";
    EXPECT_EQ(covered, !known_short) << sample.why;
  }
}

TEST(TiffCorpus, Cr2IsFoundAsTiffWhenCr2IsNotSelected) {
  const auto bytes =
      samples::ReadFile(std::string(PICTAVO_CORPUS_DIR) + "/cr2/canon-350d-stripped.cr2");
  if (bytes.empty()) GTEST_SKIP() << "corpus not present";
  ImageBuilder builder(512, 5);
  builder.Gap(3, ImageBuilder::Fill::kRandom);
  const uint64_t at = builder.Place(bytes, ImageBuilder::Fill::kZeros);
  builder.Gap(32, ImageBuilder::Fill::kZeros);

  const auto all_found = Scan(builder.bytes(), Classic());
  const FoundFile* as_cr2 = FindAt(all_found, at);
  ASSERT_NE(as_cr2, nullptr);
  EXPECT_EQ(as_cr2->type, kTypeCr2);

  FileTypeSelection without_cr2;
  without_cr2.Set(kTypeCr2, false);
  const auto tiff_found = Scan(builder.bytes(), without_cr2);
  const FoundFile* as_tiff = FindAt(tiff_found, at);
  ASSERT_NE(as_tiff, nullptr);
  EXPECT_EQ(as_tiff->type, kTypeTiff);
  // The chain's last main directory with strips is IFD3 (8,648 + 16 + its 78-byte directory);
  // IFD0 and IFD2 come first. The Canon JPEG search behind that strip finds the stripped
  // preview's bytes ("<Dummy ...>"), no JPEG.
  EXPECT_EQ(as_tiff->length, 8'648u + 16 + TiffIfdSize(6) + 6);
}

}  // namespace
}  // namespace pictavo
