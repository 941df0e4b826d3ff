#include "formats/jpeg2000_handlers.h"

#include <gtest/gtest.h>

#include "carve_test_util.h"
#include "samples/jpeg2000_sample.h"

namespace pictavo {
namespace {

using samples::EncodeJpeg2000;
using samples::ImageBuilder;
using samples::Jpeg2000Options;
using testing::Carve;
using testing::Concat;

const std::vector<uint8_t> kJp2Signature = {0x00, 0x00, 0x00, 0x0C, 0x6A, 0x50, 0x20, 0x20,
                                            0x0D, 0x0A, 0x87, 0x0A, 0x00, 0x00, 0x00, 0x14,
                                            0x66, 0x74, 0x79, 0x70, 0x6A, 0x70, 0x32, 0x20};

TEST(Jpeg2000Handlers, MeasuresEncodedFilesExactly) {
  struct Case {
    const char* name;
    Jpeg2000Options options;
  };
  const Case cases[] = {
      {"codestream", {.width = 120, .height = 80}},
      {"grey codestream, tiles", {.width = 300, .height = 200, .components = 1, .tile_size = 64}},
      {"tiny codestream", {.width = 3, .height = 2}},
      // OpenJPEG's JP2: signature, file type, header (77 bytes), then the codestream box, so
      // the codestream starts at 85.
      {"jp2", {.width = 100, .height = 70, .jp2 = true}},
      {"tiled jp2 longer than a window",
       {.width = 256, .height = 256, .jp2 = true, .tile_size = 100}},
  };
  for (const uint16_t sector_size : {512, 4096}) {
    ImageBuilder builder(sector_size, 13);
    builder.Gap(2);
    std::vector<std::pair<uint64_t, size_t>> placed;
    for (const Case& c : cases) {
      const auto file = EncodeJpeg2000(c.options);
      ASSERT_FALSE(file.empty()) << c.name;
      if (c.options.jp2) {
        ASSERT_EQ(file[85], 0xFF);
        ASSERT_EQ(file[86], 0x4F);
      }
      placed.emplace_back(builder.Place(file), file.size());
      builder.Gap(2);
    }
    FileTypeSelection selection;
    selection.SelectAll(false);
    selection.Set(kTypeJ2k, true);
    selection.Set(kTypeJp2, true);
    MemorySectorSource source(builder.bytes(), sector_size);
    ScanResults results;
    RunScan(source, selection, results, nullptr, nullptr);
    const auto found = results.Found();
    ASSERT_EQ(found.size(), placed.size()) << "sector size " << sector_size;
    for (size_t i = 0; i < placed.size(); ++i) {
      SCOPED_TRACE(cases[i].name);
      EXPECT_EQ(found[i].type, cases[i].options.jp2 ? kTypeJp2 : kTypeJ2k);
      EXPECT_EQ(found[i].offset, placed[i].first);
      EXPECT_EQ(found[i].length, placed[i].second);
    }
  }
}

TEST(Jpeg2000Handlers, CodestreamWalkRules) {
  const std::vector<uint8_t> soc = {0xFF, 0x4F};
  const std::vector<uint8_t> siz = {0xFF, 0x51, 0x00, 0x06, 1, 2, 3, 4};  // length 6 + marker 2
  const std::vector<uint8_t> sod = {0xFF, 0x93};
  const std::vector<uint8_t> eoc = {0xFF, 0xD9};
  struct Case {
    const char* name;
    std::vector<uint8_t> file;
    uint64_t length;  // 0: rejected
  };
  const Case cases[] = {
      {"segments up to the start of data", Concat({soc, siz, sod, {1, 2, 3}, eoc}),
       2 + (6 + 2) + 2 + 3 + 2},
      {"start of data right after the start", Concat({soc, sod, eoc}), 2 + 2 + 2},
      // A marker followed directly by another marker has no segment: two bytes.
      {"marker without a segment", Concat({soc, {0xFF, 0x30}, siz, sod, {7}, eoc}),
       2 + 2 + (6 + 2) + 2 + 1 + 2},
      {"zero marker word rejects", Concat({soc, siz, {0x00, 0x00, 0x00, 0x08}, sod, eoc}), 0},
      // Tile data holding 0xFF 0xD9 ends the file at that pair.
      {"end pair inside tile data", Concat({soc, sod, {5, 0xFF, 0xD9, 6, 7}, eoc}), 2 + 2 + 1 + 2},
      // Any other marker value heads a segment too, and odd lengths are used as they stand.
      {"odd marker and length", Concat({soc, {0x12, 0x34, 0x00, 0x03, 0xAA}, sod, eoc}),
       2 + (3 + 2) + 2 + 2},
      // A length of 0 advances by two bytes, onto the length word itself: a zero marker word.
      {"zero length lands on itself", Concat({soc, {0xFF, 0x52, 0x00, 0x00}, sod, eoc}), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> medium = c.file;
    medium.resize(64 * 512, 0x00);
    const auto length = Carve<Jpeg2000CodestreamHandler>(medium);
    if (c.length == 0) {
      EXPECT_EQ(length, std::nullopt);
    } else {
      EXPECT_EQ(length, c.length);
    }
  }
}

TEST(Jpeg2000Handlers, Jp2LocatesTheCodestreamInTheFirstSector) {
  const auto codestream = EncodeJpeg2000({.width = 20, .height = 20});
  auto jp2_with_codestream_at = [&](size_t soc_at) {
    std::vector<uint8_t> jp2 = kJp2Signature;
    jp2.resize(soc_at, 0x20);
    jp2.insert(jp2.end(), codestream.begin(), codestream.end());
    jp2.resize(jp2.size() + 64 * 512, 0);
    return jp2;
  };
  // At 85 as OpenJPEG writes it, and as far on as the first sector allows: the codestream at
  // 510 puts the pair 0x4F, 0xFF at 511, the last position examined.
  for (const size_t soc_at : {size_t{85}, size_t{300}, size_t{510}}) {
    SCOPED_TRACE(soc_at);
    EXPECT_EQ(Carve<Jp2Handler>(jp2_with_codestream_at(soc_at)), soc_at + codestream.size());
  }
  // At 511 the pair lies at 512, outside the first sector; the walk then starts at the sector's
  // last byte, 511, which is where this codestream happens to start.
  EXPECT_EQ(Carve<Jp2Handler>(jp2_with_codestream_at(511)), 511 + codestream.size());
  // Further on, the walk starts at 511 among the filler bytes: 0x2020 marker words with
  // lengths of 0x2020 carry it past the codestream, and the zeros behind reject the candidate.
  EXPECT_EQ(Carve<Jp2Handler>(jp2_with_codestream_at(600)), std::nullopt);
  // With 4,096-byte sectors the first sector holds the codestream at 600.
  EXPECT_EQ(Carve<Jp2Handler>(jp2_with_codestream_at(600), 4096), 600 + codestream.size());
}

TEST(Jpeg2000Handlers, Jp2Signature) {
  Jp2Handler handler;
  std::vector<uint8_t> head = kJp2Signature;
  head.resize(kSectorHeadSize, 0);
  EXPECT_TRUE(handler.MatchSignature(head.data()));
  head[23] = 0x99;  // the byte after the brand is not compared
  EXPECT_TRUE(handler.MatchSignature(head.data()));
  head[15] = 0x1C;  // a file-type box of 28 bytes (with a compatibility list) is not a match
  EXPECT_FALSE(handler.MatchSignature(head.data()));
  Jpeg2000CodestreamHandler codestream;
  const uint8_t any[kSectorHeadSize] = {0xFF, 0x4F};
  EXPECT_TRUE(codestream.MatchSignature(any));
}

TEST(Jpeg2000Handlers, EndPairAcrossWindowsAndTheEndOfTheMedium) {
  // A codestream whose 0xFF of the end pair is the last byte of the first 4,096-byte window.
  std::vector<uint8_t> file = {0xFF, 0x4F, 0xFF, 0x93};
  file.resize(4095, 0x10);
  file.push_back(0xFF);
  file.push_back(0xD9);
  std::vector<uint8_t> medium = file;
  medium.resize(16 * 512, 0);
  EXPECT_EQ(Carve<Jpeg2000CodestreamHandler>(medium), 4097u);

  // Without an end pair the search runs to the end of the medium: the length is the end of the
  // last window read, here one window (the medium's 3 sectors and zeros behind them).
  std::vector<uint8_t> short_medium = {0xFF, 0x4F, 0xFF, 0x93};
  short_medium.resize(3 * 512, 0x10);
  EXPECT_EQ(Carve<Jpeg2000CodestreamHandler>(short_medium), 8u * 512);
}

TEST(Jpeg2000Handlers, LengthIsCappedAt250MiBAndTheSearchStopsThere) {
  testing::OverlaySource source(400'000'000, 0x10, 512);
  source.Lay(0, {0xFF, 0x4F, 0xFF, 0x51, 0x00, 0x02, 0xFF, 0x93});
  Jpeg2000CodestreamHandler handler;
  EXPECT_EQ(Carve(handler, source), Jpeg2000HandlerBase::kMaxLength);
  EXPECT_LE(source.furthest_read(), Jpeg2000HandlerBase::kMaxLength + 8 * 512);
}

TEST(Jpeg2000Handlers, CorpusSamples) {
  struct Sample {
    const char* path;
    uint16_t sector_size;
    FileTypeId type;  // kTypeNone: not found at all
    uint64_t length;  // 0: the whole file
  };
  const Sample samples[] = {
      {"j2k/balloon-kakadu.j2c", 512, kTypeJ2k, 0},
      {"j2k/jasper-70x46.j2c", 512, kTypeJ2k, 0},
      // OpenJPEG left one zero byte behind the end-of-codestream marker.
      {"j2k/openjpeg-9bit.j2k", 512, kTypeJ2k, 9412 - 1},
      // Metadata boxes (two XML, one UUID) follow the codestream box: the file is measured to
      // the end-of-codestream marker at 617, losing the 1,409 bytes of those boxes.
      {"jp2/boxes-after-codestream.jp2", 512, kTypeJp2, 619},
      // Its header boxes (an XML box of 2,744 bytes) put the codestream at 2,929, beyond the
      // first sector: the walk starts at byte 511, inside the XML text, reads it as marker
      // segments and is rejected at a zero marker word. With 4,096-byte sectors it is found.
      {"jp2/balloon-tiled.jp2", 512, kTypeNone, 0},
      {"jp2/balloon-tiled.jp2", 4096, kTypeJp2, 0},
      // Its file-type box is 28 bytes long (a compatibility list), not the 20 the signature
      // expects, and its codestream (at 334) starts inside a sector: nothing finds it.
      {"jp2/test-card-rreq-tiled.jp2", 512, kTypeNone, 0},
  };
  int tried = 0;
  for (const Sample& sample : samples) {
    const auto file = testing::CorpusFile(sample.path);
    if (file.empty()) continue;
    ++tried;
    SCOPED_TRACE(::testing::Message() << sample.path << " " << sample.sector_size);
    ImageBuilder builder(sample.sector_size, 41);
    builder.Gap(3);
    const uint64_t at = builder.Place(file);
    builder.Gap(8);
    MemorySectorSource source(builder.bytes(), sample.sector_size);
    ScanResults results;
    RunScan(source, FileTypeSelection(), results, nullptr, nullptr);
    const auto found = results.Found();
    if (sample.type == kTypeNone) {
      for (const FoundFile& f : found) EXPECT_NE(f.offset, at) << "type " << f.type;
      continue;
    }
    ASSERT_FALSE(found.empty());
    EXPECT_EQ(found[0].type, sample.type);
    EXPECT_EQ(found[0].offset, at);
    EXPECT_EQ(found[0].length, sample.length ? sample.length : file.size());
  }
  if (tried == 0) GTEST_SKIP() << "corpus not present";
}

}  // namespace
}  // namespace pictavo
