#include "formats/jpeg_handler.h"

#include <gtest/gtest.h>

#include "engine/scan_engine.h"
#include "platform/memory_source.h"
#include "samples/image_builder.h"
#include "samples/jpeg_sample.h"
#include "support/faulty_source.h"

namespace pictavo {
namespace {

using samples::EncodeJpeg;
using samples::ImageBuilder;
using samples::JpegOptions;

FileTypeSelection OnlyJpeg() {
  FileTypeSelection selection;
  selection.SelectAll(false);
  selection.Set(kTypeJpeg, true);
  return selection;
}

std::vector<FoundFile> ScanJpegs(const std::vector<uint8_t>& medium, uint16_t sector_size = 512) {
  MemorySectorSource source(medium, sector_size);
  ScanResults results;
  EXPECT_TRUE(RunScan(source, OnlyJpeg(), results, nullptr, nullptr).ok);
  return {results.Found().begin(), results.Found().end()};
}

// Every encoded variant laid out between other bytes is found at its offset with its exact size.
TEST(JpegHandler, MeasuresRealJpegsExactly) {
  struct Case {
    const char* name;
    JpegOptions options;
  };
  const Case cases[] = {
      {"baseline", {.width = 200, .height = 150}},
      {"progressive", {.width = 300, .height = 200, .progressive = true}},
      {"app1 longer than a window", {.app1_payload = 65533 - 2}},
      {"exif thumbnail with its own SOI and EOI",
       {.width = 120, .height = 90, .exif_thumbnail = true}},
      {"tiny", {.width = 8, .height = 8}},
  };
  for (const uint16_t sector_size : {512, 4096}) {
    ImageBuilder builder(sector_size, 7);
    builder.Gap(3);
    std::vector<std::pair<uint64_t, size_t>> placed;
    for (const Case& c : cases) {
      const auto jpeg = EncodeJpeg(c.options);
      placed.emplace_back(builder.Place(jpeg, ImageBuilder::Fill::kZeros), jpeg.size());
      builder.Gap(2, ImageBuilder::Fill::kZeros);
    }
    const auto found = ScanJpegs(builder.bytes(), sector_size);
    ASSERT_EQ(found.size(), placed.size()) << "sector size " << sector_size;
    for (size_t i = 0; i < placed.size(); ++i) {
      SCOPED_TRACE(cases[i].name);
      EXPECT_EQ(found[i].offset, placed[i].first);
      EXPECT_EQ(found[i].length, placed[i].second);
    }
  }
}

TEST(JpegHandler, FindsAnEndMarkerStraddlingTwoWindows) {
  // Make a JPEG whose final FF D9 has its 0xFF as the last byte of a scan window: pad the front
  // with an APP1 segment of just the right size.
  const auto plain = EncodeJpeg({.width = 64, .height = 64});
  const size_t window = 8 * 512;
  const size_t target_size = 2 * window + 1;  // FF at 2*window-1, D9 at 2*window
  const size_t app1_total = target_size - plain.size();
  const auto jpeg = EncodeJpeg(
      {.width = 64, .height = 64, .app1_payload = static_cast<uint32_t>(app1_total - 4)});
  ASSERT_EQ(jpeg.size(), target_size);
  ASSERT_EQ(jpeg[2 * window - 1], 0xFF);
  ASSERT_EQ(jpeg[2 * window], 0xD9);
  ImageBuilder builder(512);
  const uint64_t at = builder.Place(jpeg, ImageBuilder::Fill::kRandom);
  builder.Gap(20, ImageBuilder::Fill::kZeros);
  // A memory source is searched in whole runs; a source that only reads (as a device or a file
  // that cannot be mapped) is searched window by window, which is where the marker straddles.
  for (const bool in_windows : {false, true}) {
    SCOPED_TRACE(in_windows ? "read in windows" : "searched in place");
    std::vector<FoundFile> found;
    if (in_windows) {
      testing::FaultySource source(builder.bytes(), 512);  // serves no views: reads only
      ScanResults results;
      EXPECT_TRUE(RunScan(source, OnlyJpeg(), results, nullptr, nullptr).ok);
      found.assign(results.Found().begin(), results.Found().end());
      EXPECT_GT(source.reads(), 1u);
    } else {
      found = ScanJpegs(builder.bytes());
    }
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].offset, at);
    EXPECT_EQ(found[0].length, jpeg.size());
  }
}

TEST(JpegHandler, WithoutEndMarkerRunsToTheNextOneOrToTheEndOfTheMedium) {
  const auto broken = EncodeJpeg({.width = 64, .height = 48, .without_eoi = true, .seed = 3});
  const auto next = EncodeJpeg({.width = 64, .height = 48, .seed = 4});
  ImageBuilder builder(512);
  const uint64_t first = builder.Place(broken);
  const uint64_t second = builder.Place(next);
  builder.Gap(4, ImageBuilder::Fill::kZeros);
  const auto found = ScanJpegs(builder.bytes());
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].length, second + next.size() - first);
  EXPECT_EQ(found[1].length, next.size());

  // Alone on the medium, it runs to the end of the last window that could be read; windows start
  // at the sector holding the start-of-scan marker.
  ImageBuilder alone(512);
  alone.Place(broken);
  alone.Gap(1, ImageBuilder::Fill::kZeros);
  const auto lone = ScanJpegs(alone.bytes());
  ASSERT_EQ(lone.size(), 1u);
  EXPECT_EQ(lone[0].length % 512, 0u);
  EXPECT_GE(lone[0].length, alone.bytes().size());
}

TEST(JpegHandler, HeaderWalkRules) {
  struct Case {
    const char* name;
    std::vector<uint8_t> head;
    bool verifies;
    uint64_t length;  // when it verifies
  };
  const Case cases[] = {
      // SOI directly followed by SOS: the search starts at offset 4.
      {"sos right after soi", {0xFF, 0xD8, 0xFF, 0xDA, 0xFF, 0xD9}, true, 6},
      {"search starts after the sos marker word",
       {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0xFF, 0xD9},
       true,
       7},
      {"zero marker word rejects", {0xFF, 0xD8, 0x00, 0x00, 0x00, 0x10}, false, 0},
      // A third byte other than 0xFF does not matter; the walk reads "0x12 0x34" as a marker.
      {"any marker value is a segment",
       {0xFF, 0xD8, 0x12, 0x34, 0x00, 0x04, 0xAA, 0xBB, 0xFF, 0xDA, 0x00, 0x02, 0xFF, 0xD9},
       true,
       14},
      // A segment length of 0 advances by two bytes.
      // A segment length of 0 advances by two bytes, onto its own length word: a zero marker.
      {"zero length lands on itself", {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x00, 0xFF, 0xDA}, false, 0},
      {"odd lengths are used unchanged",
       {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x03, 0xAA, 0xFF, 0xDA, 0xFF, 0xD9},
       true,
       11},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> medium = c.head;
    medium.resize(64 * 512, 0);
    MemorySectorSource source(medium, 512);
    JpegHandler handler;
    uint8_t head[kSectorHeadSize] = {};
    std::copy_n(medium.begin(), kSectorHeadCopied, head);
    ASSERT_TRUE(handler.MatchSignature(head));
    EXPECT_EQ(handler.Verify(source, 0), c.verifies);
    if (c.verifies) {
      EXPECT_EQ(handler.MeasureLength(source, 0), c.length);
    }
  }
}

TEST(JpegHandler, MarkerWordNearTheWindowEndIsReadAfterSliding) {
  // Segments chosen so that a marker word begins at each of the last three bytes of the first
  // window: its length word must come from the medium, not from the zero spare bytes.
  for (const uint32_t back : {3u, 2u, 1u}) {
    SCOPED_TRACE(back);
    std::vector<uint8_t> medium(64 * 512, 0);
    const uint32_t window = 8 * 512;
    const uint32_t marker_at = window - back;
    // SOI, then one segment running from 2 to marker_at.
    medium[0] = 0xFF;
    medium[1] = 0xD8;
    medium[2] = 0xFF;
    medium[3] = 0xE1;
    const uint32_t length = marker_at - 4;
    medium[4] = static_cast<uint8_t>(length >> 8);
    medium[5] = static_cast<uint8_t>(length);
    // At marker_at: a COM segment of length 6 then SOS and EOI.
    const uint8_t tail[] = {0xFF, 0xFE, 0x00, 0x06, 1, 2, 3, 4, 0xFF, 0xDA, 0x00, 0x02, 0xFF, 0xD9};
    std::copy(std::begin(tail), std::end(tail), medium.begin() + marker_at);
    MemorySectorSource source(medium, 512);
    JpegHandler handler;
    uint8_t head[kSectorHeadSize] = {};
    std::copy_n(medium.begin(), kSectorHeadCopied, head);
    ASSERT_TRUE(handler.MatchSignature(head));
    ASSERT_TRUE(handler.Verify(source, 0));
    EXPECT_EQ(handler.MeasureLength(source, 0), marker_at + sizeof(tail));
  }
}

TEST(JpegHandler, LengthIsCappedAt250MiB) {
  // SOI, SOS, then no end marker for more than the cap: a medium of 0x55 bytes.
  std::vector<uint8_t> medium(JpegHandler::kMaxLength + 64 * 512, 0x55);
  medium[0] = 0xFF;
  medium[1] = 0xD8;
  medium[2] = 0xFF;
  medium[3] = 0xDA;
  MemorySectorSource source(std::move(medium), 512);
  JpegHandler handler;
  uint8_t head[kSectorHeadSize] = {0xFF, 0xD8, 0xFF, 0xDA};
  ASSERT_TRUE(handler.MatchSignature(head));
  ASSERT_TRUE(handler.Verify(source, 0));
  EXPECT_EQ(handler.MeasureLength(source, 0), JpegHandler::kMaxLength);
}

TEST(JpegHandler, CorpusSamplesAreMeasuredExactly) {
  const std::string dir = std::string(PICTAVO_CORPUS_DIR) + "/jpeg";
  struct Sample {
    const char* name;
    size_t expected_length;  // 0: the whole file
  };
  const Sample samples[] = {
      {"kodak-dc240.jpg", 0},
      // The camera stores a second, larger preview after the main image's end marker (reached
      // through its maker notes, after zero padding); the first end marker after the first scan
      // ends the carved file there, 318,172 bytes short of the file.
      {"sony-dslr-a200-fullsize.jpg", 2117377},
      {"canon-eos6d-progressive.jpg", 0},
  };
  int tried = 0;
  for (const auto& [name, expected_length] : samples) {
    const auto sample = samples::ReadFile(dir + "/" + name);
    if (sample.empty()) continue;
    ++tried;
    SCOPED_TRACE(name);
    for (const uint32_t lead_sectors : {0u, 5u}) {
      ImageBuilder builder(512, 11);
      if (lead_sectors) builder.Gap(lead_sectors, ImageBuilder::Fill::kRandom);
      const uint64_t at = builder.Place(sample, ImageBuilder::Fill::kZeros);
      builder.Gap(16, ImageBuilder::Fill::kZeros);
      const auto found = ScanJpegs(builder.bytes());
      ASSERT_FALSE(found.empty());
      EXPECT_EQ(found[0].offset, at);
      EXPECT_EQ(found[0].length, expected_length ? expected_length : sample.size());
    }
  }
  if (tried == 0) GTEST_SKIP() << "corpus not present at " << dir;
}

}  // namespace
}  // namespace pictavo
