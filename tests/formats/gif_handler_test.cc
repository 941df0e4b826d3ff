#include "formats/gif_handler.h"

#include <gtest/gtest.h>

#include "carve_test_util.h"
#include "samples/gif_sample.h"
#include "support/faulty_source.h"

namespace pictavo {
namespace {

using samples::EncodeGif;
using samples::GifOptions;
using samples::ImageBuilder;
using testing::Bytes;
using testing::Carve;
using testing::Concat;

// Signature and logical screen descriptor of a 1 x 1 screen; `packed` says whether a global
// colour table follows. The pixel-ratio byte at 12 is deliberately odd.
std::vector<uint8_t> Header(const char* version, uint8_t packed) {
  return Concat({Bytes(version), {1, 0, 1, 0, packed, 0, 0x31}});
}

std::vector<uint8_t> Image(uint8_t packed, std::vector<uint8_t> lzw_and_sub_blocks) {
  return Concat({{0x2C, 0, 0, 0, 0, 1, 0, 1, 0, packed}, lzw_and_sub_blocks});
}

TEST(GifHandler, MeasuresEncodedGifsExactly) {
  struct Case {
    const char* name;
    GifOptions options;
  };
  const std::string long_comment(700, 'c');  // three sub-blocks
  const Case cases[] = {
      {"GIF87a without extensions", {.gif89 = false}},
      {"GIF89a with a long comment", {.width = 64, .height = 64, .comment = long_comment}},
      {"animated, looping, local colour tables",
       {.width = 30,
        .height = 20,
        .global_colour_table = false,
        .local_colour_tables = true,
        .frames = 5,
        .looping = true}},
      {"interlaced, two-colour table",
       {.width = 50, .height = 31, .colour_bits = 1, .interlaced = true}},
      {"larger than a scan window", {.width = 300, .height = 200, .frames = 2}},
  };
  for (const uint16_t sector_size : {512, 4096}) {
    ImageBuilder builder(sector_size, 5);
    builder.Gap(2);
    std::vector<std::pair<uint64_t, size_t>> placed;
    for (const Case& c : cases) {
      const auto gif = EncodeGif(c.options);
      ASSERT_FALSE(gif.empty()) << c.name;
      placed.emplace_back(builder.Place(gif), gif.size());
      builder.Gap(1);
    }
    const auto found = testing::ScanFor(kTypeGif, builder.bytes(), sector_size);
    ASSERT_EQ(found.size(), placed.size()) << "sector size " << sector_size;
    for (size_t i = 0; i < placed.size(); ++i) {
      SCOPED_TRACE(cases[i].name);
      EXPECT_EQ(found[i].offset, placed[i].first);
      EXPECT_EQ(found[i].length, placed[i].second);
    }
  }
}

TEST(GifHandler, Signatures) {
  const struct {
    const char* version;
    bool matches;
  } cases[] = {{"GIF87a", true},  {"GIF89a", true},  {"GIF88a", false},
               {"gif89a", false}, {"GIF89A", false}, {"GIF8", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version);
    std::vector<uint8_t> head = Concat({Bytes(c.version), std::vector<uint8_t>(26, 0)});
    GifHandler handler;
    EXPECT_EQ(handler.MatchSignature(head.data()), c.matches);
  }
}

TEST(GifHandler, BlockWalkRules) {
  const std::vector<uint8_t> trailer = {0x00, 0x3B};
  struct Case {
    const char* name;
    std::vector<uint8_t> file;
    uint64_t length;
  };
  const Case cases[] = {
      // No global table: the walk starts at 13 whatever the pixel-ratio byte says. An image
      // with LZW size 2 and one 3-byte sub-block, then the terminator and trailer.
      {"no global table", Concat({Header("GIF89a", 0x00), Image(0x00, {2, 3, 1, 2, 3}), trailer}),
       13 + 10 + 1 + (1 + 3) + 2},
      // A global table of 3 x 2^(1 + 1) = 12 bytes is skipped.
      {"global table",
       Concat({Header("GIF89a", 0x81), std::vector<uint8_t>(12, 0x3B), Image(0x00, {2, 1, 7}),
               trailer}),
       13 + 12 + 10 + 1 + (1 + 1) + 2},
      // The local table of 3 x 2^(2 + 1) = 24 bytes lies between descriptor and LZW size byte.
      {"local table",
       Concat({Header("GIF87a", 0x00),
               Image(0x82, Concat({std::vector<uint8_t>(24, 0), {2, 2, 9, 9}})), trailer}),
       13 + 10 + 24 + 1 + (1 + 2) + 2},
      // Further sub-blocks are walked one by one; then an extension behind the terminator.
      {"sub-blocks then an extension",
       Concat({Header("GIF89a", 0x00),
               Image(0x00, {2, 2, 1, 1, 3, 1, 1, 1}),
               {0x00, 0x21, 0xFE, 2, 'h', 'i'},
               trailer}),
       13 + 10 + 1 + (1 + 2) + (1 + 3) + 1 + 2 + (1 + 2) + 2},
      // The first step needs no zero byte in front of the introducer; an extension first.
      {"extension first",
       Concat({Header("GIF89a", 0x00),
               {0x21, 0xF9, 4, 0, 0, 0, 0},
               {0x00, 0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0x00, 2, 1, 5},
               trailer}),
       13 + (3 + 4) + 1 + 10 + 1 + (1 + 1) + 2},
      // A first byte that is no introducer skips one byte; a zero not followed by an
      // introducer is an empty sub-block.
      {"no introducer first",
       Concat({Header("GIF89a", 0x00), {0x55, 0x00, 0x04, 1, 2, 3, 4}, trailer}),
       13 + 1 + 1 + (1 + 4) + 2},
      // The walk ends only at a zero byte followed by the trailer: a 0x3B inside a sub-block
      // is data, and one in the place of a size byte is a size.
      {"trailer needs the terminator in front",
       Concat({Header("GIF89a", 0x00),
               Image(0x00, {2, 1, 0x3B}),
               {0x3B},
               std::vector<uint8_t>(0x3B, 0x11),
               trailer}),
       13 + 10 + 1 + (1 + 1) + (1 + 0x3B) + 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> medium = c.file;
    medium.resize(256 * 512, 0);
    EXPECT_EQ(Carve<GifHandler>(medium), c.length);
  }
}

TEST(GifHandler, TheWalkStopsAtTenMiB) {
  // A missing trailer with zeros behind: empty sub-blocks one byte at a time until position + 10
  // would pass 0xA00000, so the walk stops at 0xA00000 - 9 and the length is 0xA00000 - 7.
  const auto header = Concat({Header("GIF89a", 0x00), Image(0x00, {2, 1, 5})});
  for (const uint16_t sector_size : {512, 4096}) {
    SCOPED_TRACE(sector_size);
    std::vector<uint8_t> medium = header;
    medium.resize(GifHandler::kWalkLimit + 64 * 512, 0);
    EXPECT_EQ(Carve<GifHandler>(medium, sector_size), 0xA00000u - 9 + 2);
  }

  // The same at the end of a short medium: the zeros behind the data are walked the same way.
  EXPECT_EQ(Carve<GifHandler>(Concat({header, std::vector<uint8_t>(512 - header.size(), 0)})),
            0xA00000u - 9 + 2);

  // Full 255-byte sub-blocks: from the first one at 24, 256 bytes a step, until the position
  // passes 0xA00000 - 10: 24 + 256 x 40,960 = 0xA00000 + 24.
  std::vector<uint8_t> big = Concat({Header("GIF89a", 0x00), Image(0x00, {8})});
  big.resize(GifHandler::kWalkLimit + 64 * 512, 0x77);
  for (size_t size_byte = 24; size_byte < big.size(); size_byte += 256) big[size_byte] = 255;
  EXPECT_EQ(Carve<GifHandler>(big), 0xA00000u + 24 + 2);
}

TEST(GifHandler, FailedFirstReadGivesZero) {
  const auto gif = EncodeGif({});
  testing::FaultySource source(gif, 512);
  source.FailRange(0, 512);
  GifHandler handler;
  uint8_t head[kSectorHeadSize] = {};
  std::copy_n(gif.begin(), kSectorHeadCopied, head);
  ASSERT_TRUE(handler.MatchSignature(head));
  ASSERT_TRUE(handler.Verify(source, 0));
  EXPECT_EQ(handler.MeasureLength(source, 0), 0u);
}

TEST(GifHandler, CorpusSamplesAreMeasuredExactly) {
  const char* const paths[] = {"gif/gif87a-triangle-interlaced.gif",
                               "gif/animated-23frames-xmp.gif", "gif/gif89a-comment-xmp-icc.gif"};
  int tried = 0;
  for (const char* path : paths) {
    const auto file = testing::CorpusFile(path);
    if (file.empty()) continue;
    ++tried;
    SCOPED_TRACE(path);
    for (const uint32_t lead : {0u, 5u}) {
      ImageBuilder builder(512, 23 + lead);
      builder.Gap(lead);
      const uint64_t at = builder.Place(file);
      builder.Gap(8);
      const auto found = testing::ScanFor(kTypeGif, builder.bytes());
      ASSERT_EQ(found.size(), 1u);
      EXPECT_EQ(found[0].offset, at);
      EXPECT_EQ(found[0].length, file.size());
    }
  }
  if (tried == 0) GTEST_SKIP() << "corpus not present";
}

}  // namespace
}  // namespace pictavo
