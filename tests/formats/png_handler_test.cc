#include "formats/png_handler.h"

#include <gtest/gtest.h>

#include "carve_test_util.h"
#include "samples/png_sample.h"
#include "support/faulty_source.h"

namespace pictavo {
namespace {

using samples::AppendPngChunk;
using samples::EncodePng;
using samples::ImageBuilder;
using samples::PngOptions;
using testing::Be32;
using testing::Bytes;
using testing::Carve;
using testing::Concat;

const std::vector<uint8_t> kSignature = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

// A chunk head and its data; the CRC is never checked, so it is left zero.
std::vector<uint8_t> Chunk(const char* name, uint32_t length, size_t data_bytes = SIZE_MAX) {
  std::vector<uint8_t> chunk = Concat({Be32(length), Bytes(std::string_view(name, 4))});
  chunk.resize(chunk.size() + (data_bytes == SIZE_MAX ? length : data_bytes) + 4, 0x5A);
  return chunk;
}

TEST(PngHandler, MeasuresEncodedPngsExactly) {
  struct Case {
    const char* name;
    PngOptions options;
  };
  const Case cases[] = {
      {"rgb", {.width = 120, .height = 80}},
      {"rgba interlaced",
       {.width = 33, .height = 17, .colour = PngOptions::Colour::kRgba, .interlaced = true}},
      {"palette with text",
       {.width = 50,
        .height = 50,
        .colour = PngOptions::Colour::kPalette,
        .comments = {"first", "second"}}},
      {"many small IDAT chunks", {.width = 200, .height = 100, .idat_size = 1000}},
      {"IDAT longer than a scan window", {.width = 300, .height = 200, .idat_size = 300000}},
      {"one pixel", {.width = 1, .height = 1, .colour = PngOptions::Colour::kGray}},
  };
  for (const uint16_t sector_size : {512, 4096}) {
    ImageBuilder builder(sector_size, 3);
    builder.Gap(2);
    std::vector<std::pair<uint64_t, size_t>> placed;
    for (const Case& c : cases) {
      const auto png = EncodePng(c.options);
      ASSERT_FALSE(png.empty()) << c.name;
      placed.emplace_back(builder.Place(png), png.size());
      builder.Gap(1);
    }
    const auto found = testing::ScanFor(kTypePng, builder.bytes(), sector_size);
    ASSERT_EQ(found.size(), placed.size()) << "sector size " << sector_size;
    for (size_t i = 0; i < placed.size(); ++i) {
      SCOPED_TRACE(cases[i].name);
      EXPECT_EQ(found[i].offset, placed[i].first);
      EXPECT_EQ(found[i].length, placed[i].second);
    }
  }
}

TEST(PngHandler, ChunkWalkRules) {
  const auto ihdr = Chunk("IHDR", 13);
  const auto idat = Chunk("IDAT", 100);
  const auto iend = Chunk("IEND", 0);
  struct Case {
    const char* name;
    std::vector<uint8_t> file;
    uint64_t length;
  };
  const Case cases[] = {
      {"signature then zeros", kSignature, 8},
      {"signature then garbage", Concat({kSignature, Bytes("garbage!garbage!")}), 8},
      {"well formed", Concat({kSignature, ihdr, idat, iend}), 8 + (13 + 12) + (100 + 12) + 12},
      {"private chunk ends the file at its start",
       Concat({kSignature, ihdr, Chunk("prVt", 40), idat, iend}), 8 + (13 + 12)},
      {"a name in the wrong case is unknown", Concat({kSignature, ihdr, Chunk("idat", 10), iend}),
       8 + (13 + 12)},
      {"eXIf is not in the table", Concat({kSignature, ihdr, Chunk("eXIf", 30), iend}),
       8 + (13 + 12)},
      {"known chunks behind IEND are counted", Concat({kSignature, ihdr, iend, Chunk("tEXt", 7)}),
       8 + (13 + 12) + 12 + (7 + 12)},
      {"a following PNG ends the file at its own IEND",
       Concat({kSignature, ihdr, iend, kSignature, ihdr, iend}), 8 + (13 + 12) + 12},
      // The length field is taken as it stands: the position jumps far past the data.
      {"damaged length carries the position",
       Concat({kSignature, ihdr, Chunk("IDAT", 0x7FFFFFF0, 4)}),
       8 + (13 + 12) + (uint64_t{0x7FFFFFF0} + 12)},
      {"largest length that still fits",
       Concat({kSignature, Chunk("IDAT", 0xFFFFFFFF - 8 - 12, 4)}), 0xFFFFFFFF},
      // One more byte would carry the 32-bit position past 2^32 - 1: the walk stops in front.
      {"length past 2^32 - 1 stops the walk",
       Concat({kSignature, ihdr, Chunk("IDAT", 0xFFFFFFFF, 4)}), 8 + (13 + 12)},
      {"just past 2^32 - 1", Concat({kSignature, Chunk("IDAT", 0xFFFFFFFF - 8 - 11, 4)}), 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> medium = c.file;
    medium.resize(64 * 512, 0);
    EXPECT_EQ(Carve<PngHandler>(medium), c.length);
  }
}

TEST(PngHandler, WalkLooksOnlyAtChunkHeadsInsideTheWindow) {
  // Chunks laid out so that one head lies exactly at the last whole-head position of the 20,480
  // sector window, and another straddles its end.
  constexpr uint32_t kWindow = 512 * PngHandler::kWindowSectors;
  const uint32_t filler =
      kWindow - 8 - (13 + 12) - 12 - 8;  // data of the chunk before the last head
  std::vector<uint8_t> file = Concat({kSignature, Chunk("IHDR", 13), Chunk("IDAT", filler)});
  ASSERT_EQ(file.size(), kWindow - 8);
  // The head at kWindow - 8 is inside; its chunk reaches past the window and is counted whole.
  const auto last_inside = Concat({file, Chunk("IDAT", 5000), Chunk("IEND", 0)});
  std::vector<uint8_t> medium = last_inside;
  medium.resize(kWindow + 64 * 512, 0);
  EXPECT_EQ(Carve<PngHandler>(medium), uint64_t{kWindow} - 8 + (5000 + 12));

  // One byte further on, the head straddles the end of the window and ends the walk.
  std::vector<uint8_t> shifted = Concat({kSignature, Chunk("IHDR", 13), Chunk("IDAT", filler + 1),
                                         Chunk("IDAT", 5000), Chunk("IEND", 0)});
  shifted.resize(kWindow + 64 * 512, 0);
  EXPECT_EQ(Carve<PngHandler>(shifted), uint64_t{kWindow} - 7);
}

TEST(PngHandler, ReadFailuresAndTheEndOfTheMedium) {
  const auto png = EncodePng({.width = 40, .height = 40});
  {
    // The first sector cannot be read: the length is the signature's.
    testing::FaultySource source(png, 512);
    source.FailRange(0, 512);
    PngHandler handler;
    uint8_t head[kSectorHeadSize] = {};
    std::copy_n(png.begin(), kSectorHeadCopied, head);
    ASSERT_TRUE(handler.MatchSignature(head));
    ASSERT_TRUE(handler.Verify(source, 0));
    EXPECT_EQ(handler.MeasureLength(source, 0), 8u);
  }
  {
    // A bad sector further on inside the 10 MiB window, between no chunk heads, costs nothing:
    // only the sectors holding chunk heads are read.
    std::vector<uint8_t> medium = png;
    medium.resize(12 << 20, 0);
    testing::FaultySource source(medium, 512);
    source.FailRange(1 << 20, (1 << 20) + 512);
    PngHandler handler;
    EXPECT_EQ(Carve(handler, source), png.size());
  }
  {
    // A PNG cut off by the end of the medium inside its image data: the cut chunk still counts
    // whole, and the zeros behind the data end the walk.
    std::vector<uint8_t> cut = Concat({kSignature, Chunk("IHDR", 13), Chunk("IDAT", 3000)});
    cut.resize(8 + 25 + 1000);
    EXPECT_EQ(Carve<PngHandler>(cut), 8 + (13 + 12) + (3000 + 12));
  }
}

TEST(PngHandler, ChunksBehindARealFileCountOnlyWhenKnown) {
  // Leftover bytes behind IEND that happen to form a known chunk are carved with the file; a
  // private chunk there is not.
  const std::vector<uint8_t> png = EncodePng({.width = 4, .height = 4});
  std::vector<uint8_t> with_text = png;
  AppendPngChunk(with_text, "tEXt", {'K', 'e', 'y', 0, 'v', 'a', 'l'});
  std::vector<uint8_t> with_private = png;
  AppendPngChunk(with_private, "prVt", {1, 2, 3});
  for (auto* medium : {&with_text, &with_private}) medium->resize(8 * 512, 0);
  EXPECT_EQ(Carve<PngHandler>(with_text), png.size() + (7 + 12));
  EXPECT_EQ(Carve<PngHandler>(with_private), png.size());
}

TEST(PngHandler, CorpusSamples) {
  struct Sample {
    const char* path;
    // 0: the whole file. Otherwise the length the chunk walk gives and why.
    uint64_t expected;
  };
  const Sample samples[] = {
      {"png/photoshop-8x12-rgba32-interlaced.png", 0},
      // Fireworks' private chunk "prVW" follows the text chunks at offset 143: 8 + (13 + 12) +
      // (4 + 12) + (9 + 12) + (21 + 12) + (28 + 12). The rest of the file (47,832 bytes) is lost.
      {"png/fireworks-private-chunks.png",
       8 + (13 + 12) + (4 + 12) + (9 + 12) + (21 + 12) + (28 + 12)},
      // "eXIf" (behind the image data, at 11,644) is not a known name: the text chunks and IEND
      // behind it, 293 bytes, are cut off. The image itself is complete.
      {"png/palette-with-eXIf.png", 857 + (10775 + 12)},
  };
  int tried = 0;
  for (const Sample& sample : samples) {
    const auto file = testing::CorpusFile(sample.path);
    if (file.empty()) continue;
    ++tried;
    SCOPED_TRACE(sample.path);
    const uint64_t expected = sample.expected ? sample.expected : file.size();
    for (const uint32_t lead : {0u, 7u}) {
      ImageBuilder builder(512, 17 + lead);
      builder.Gap(lead);
      const uint64_t at = builder.Place(file);
      builder.Gap(8);
      const auto found = testing::ScanFor(kTypePng, builder.bytes());
      ASSERT_EQ(found.size(), 1u);
      EXPECT_EQ(found[0].offset, at);
      EXPECT_EQ(found[0].length, expected);
    }
  }
  if (tried == 0) GTEST_SKIP() << "corpus not present";
}

}  // namespace
}  // namespace pictavo
