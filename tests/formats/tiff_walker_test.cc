// The TIFF handler and the structure walker under it, on TIFF files laid out byte by byte.
#include <functional>
#include <string>

#include "formats/tiff_handler.h"
#include "samples/jpeg_sample.h"
#include "tiff_test_support.h"

namespace pictavo {
namespace {

using namespace tiff_test;

constexpr uint64_t kCap = TiffStructureWalker::kMaxLength;

TEST(TiffHandler, MatchesOnlyTheStandardHeaders) {
  struct Case {
    uint8_t head[8];
    bool matches;
  };
  const Case cases[] = {
      {{'I', 'I', 0x2A, 0x00, 8, 0, 0, 0}, true},
      {{'M', 'M', 0x00, 0x2A, 0, 0, 0, 8}, true},
      {{'I', 'I', 0x00, 0x2A, 8, 0, 0, 0}, false},  // order and version word disagree
      {{'M', 'M', 0x2A, 0x00, 0, 0, 0, 8}, false},
      {{'I', 'I', 0x52, 0x4F, 8, 0, 0, 0}, false},  // Olympus
      {{'I', 'I', 0x55, 0x00, 8, 0, 0, 0}, false},  // Panasonic
      {{'m', 'm', 0x00, 0x2A, 0, 0, 0, 8}, false},
      {{'I', 'M', 0x2A, 0x00, 8, 0, 0, 0}, false},
      {{'I', 'I', 0x2B, 0x00, 16, 0, 0, 0}, false},  // BigTIFF
  };
  for (const Case& c : cases) {
    uint8_t head[kSectorHeadSize] = {};
    std::copy(std::begin(c.head), std::end(c.head), head);
    TiffHandler handler;
    EXPECT_EQ(handler.MatchSignature(head), c.matches) << std::string(c.head, c.head + 2);
  }
}

struct LayoutCase {
  const char* name;
  std::function<void(TiffLayout&)> build;
  uint64_t length;
};

// Every layout is measured in both byte orders, at the start of the medium and a few sectors in.
void ExpectTiffLengths(const std::vector<LayoutCase>& cases, uint16_t sector_size = 512) {
  for (const LayoutCase& c : cases) {
    for (const bool little : {true, false}) {
      for (const uint32_t lead : {0u, 3u}) {
        SCOPED_TRACE(std::string(c.name) + (little ? " II" : " MM") + " lead " +
                     std::to_string(lead));
        TiffLayout tiff(little, 8);
        c.build(tiff);
        const Outcome outcome = RunHandler<TiffHandler>(tiff.bytes(), sector_size, lead);
        ASSERT_TRUE(outcome.matched);
        ASSERT_TRUE(outcome.verified);
        EXPECT_EQ(outcome.length, c.length);
      }
    }
  }
}

TEST(TiffHandler, AddsUpStripsDirectoriesAndOutOfLineValues) {
  ExpectTiffLengths({
      {"single strip",
       [](TiffLayout& t) {
         t.PutIfd(8, {{256, kShort, 1, 640}, {273, kLong, 1, 4096}, {279, kLong, 1, 8192}}, 0);
       },
       4096 + 8192 + TiffIfdSize(3)},
      // Contributions of entries before the strip offsets are lost when it resets the length;
      // in-line values (ASCII up to 4, SHORT up to 2, LONG 1) add nothing, RATIONAL always adds.
      {"size rule after the strip offsets only",
       [](TiffLayout& t) {
         t.PutIfd(8,
                  {{270, kAscii, 20, 200},
                   {273, kLong, 1, 4096},
                   {279, kLong, 1, 8192},
                   {282, kRational, 1, 240},
                   {305, kAscii, 10, 248},
                   {258, kShort, 3, 260},
                   {259, kShort, 2, 0},
                   {33432, kAscii, 4, 0},
                   {278, kLong, 1, 16},
                   {700, kUndefined, 50, 300}},
                  0);
       },
       4096 + 8192 + TiffIfdSize(10) + 8 + 10 + 6},
      // Arrays behind the entries count twice (once for lying behind, once by the size rule).
      {"multi-strip, directory before the data",
       [](TiffLayout& t) {
         t.PutIfd(8, {{273, kLong, 4, 100}, {279, kLong, 4, 116}}, 0);
         t.PutArray(100, {1000, 2000, 3000, 4000});
         t.PutArray(116, {1000, 1000, 1000, 900});
       },
       (4000 + 16 + 16) + (900 + 16 + TiffIfdSize(2) + 16)},
      {"multi-strip, directory behind the data, arrays behind it",
       [](TiffLayout& t) {
         t.SetFirstIfd(9000);
         t.PutIfd(9000, {{273, kLong, 4, 9100}, {279, kLong, 4, 9116}}, 0);
         t.PutArray(9100, {16, 2000, 4000, 7000});
         t.PutArray(9116, {1000, 1000, 1000, 1500});
       },
       (7000 + 16 + TiffIfdSize(2) + 16) + (1500 + 16 + TiffIfdSize(2) + 16)},
      {"multi-strip, arrays before the directory",
       [](TiffLayout& t) {
         t.SetFirstIfd(9000);
         t.PutIfd(9000, {{273, kLong, 3, 16}, {279, kLong, 3, 28}}, 0);
         t.PutArray(16, {100, 3000, 6000});
         t.PutArray(28, {2900, 2900, 2900});
       },
       (6000 + TiffIfdSize(2) + 12) + (2900 + TiffIfdSize(2) + 12)},
      // The last element is taken, not the largest.
      {"strip arrays out of order",
       [](TiffLayout& t) {
         t.PutIfd(8, {{273, kLong, 3, 100}, {279, kLong, 3, 112}}, 0);
         t.PutArray(100, {9000, 3000, 5000});
         t.PutArray(112, {10, 10, 700});
       },
       (5000 + 12 + 12) + (700 + 12 + TiffIfdSize(2) + 12)},
  });
}

TEST(TiffHandler, FollowsTheDirectoryChainAndSubIfds) {
  ExpectTiffLengths({
      {"thumbnail directory behind the image",
       [](TiffLayout& t) {
         t.PutIfd(8, {{273, kLong, 1, 1000}, {279, kLong, 1, 5000}}, 6000);
         t.PutIfd(6000, {{273, kLong, 1, 7000}, {279, kLong, 1, 300}}, 0);
       },
       7000 + 300 + TiffIfdSize(2)},
      // Measured from the last main directory with strips, even when its strip lies before the
      // image's: the file is cut short.
      {"thumbnail stored before the image",
       [](TiffLayout& t) {
         t.PutIfd(8, {{273, kLong, 1, 1000}, {279, kLong, 1, 5000}}, 6000);
         t.PutIfd(6000, {{273, kLong, 1, 100}, {279, kLong, 1, 300}}, 0);
       },
       100 + 300 + TiffIfdSize(2)},
      {"a directory without strips keeps adding",
       [](TiffLayout& t) {
         t.PutIfd(8, {{273, kLong, 1, 1000}, {279, kLong, 1, 5000}}, 6000);
         t.PutIfd(6000, {{282, kRational, 2, 6100}}, 0);
       },
       1000 + 5000 + TiffIfdSize(2) + 16},
      {"a directory with strips starts again",
       [](TiffLayout& t) {
         t.PutIfd(8, {{282, kRational, 1, 100}, {305, kAscii, 30, 108}}, 6000);
         t.PutIfd(6000, {{273, kLong, 1, 200}, {279, kLong, 1, 5000}}, 0);
       },
       200 + 5000 + TiffIfdSize(2)},
      // A sub-IFD adds to the length, and its successor (none) replaces the main directory's.
      {"one sub-IFD",
       [](TiffLayout& t) {
         t.PutIfd(8, {{273, kLong, 1, 1000}, {279, kLong, 1, 500}, {330, kLong, 1, 2000}}, 9000);
         t.PutIfd(2000, {{273, kLong, 1, 3000}, {279, kLong, 1, 4000}}, 0);
         t.PutIfd(9000, {{273, kLong, 1, 20000}, {279, kLong, 1, 4000}}, 0);
       },
       (1000 + 500 + TiffIfdSize(3)) + (3000 + 4000 + TiffIfdSize(2))},
      // The SubIFDs entry itself adds nothing, and the chain goes on from the second sub-IFD.
      {"two sub-IFDs, chain goes on from the second",
       [](TiffLayout& t) {
         t.PutIfd(8, {{273, kLong, 1, 100}, {279, kLong, 1, 50}, {330, kLong, 2, 60}}, 0);
         t.PutArray(60, {2000, 2500});
         t.PutIfd(2000, {{279, kLong, 1, 10}}, 0);
         t.PutIfd(2500, {{282, kRational, 1, 0}}, 3000);
         t.PutIfd(3000, {{273, kLong, 1, 4000}, {279, kLong, 1, 10}}, 0);
       },
       4000 + 10 + TiffIfdSize(2)},
      {"two sub-IFDs, the second ends the chain",
       [](TiffLayout& t) {
         t.PutIfd(8, {{273, kLong, 1, 100}, {279, kLong, 1, 50}, {330, kLong, 2, 60}}, 0);
         t.PutArray(60, {2000, 2500});
         t.PutIfd(2000, {{279, kLong, 1, 10}}, 0);
         t.PutIfd(2500, {{282, kRational, 1, 0}}, 0);
       },
       (100 + 50 + TiffIfdSize(3)) + (10 + TiffIfdSize(1)) + 8},
      // A strip array ending in 0 cuts the directory short and ends the chain.
      {"zero last element",
       [](TiffLayout& t) {
         t.PutIfd(8, {{273, kLong, 1, 1000}, {279, kLong, 1, 100}}, 200);
         t.PutIfd(200, {{282, kRational, 1, 0}, {279, kLong, 3, 300}, {283, kRational, 1, 0}}, 400);
         t.PutArray(300, {5, 5, 0});
         t.PutIfd(400, {{273, kLong, 1, 50000}, {279, kLong, 1, 100}}, 0);
       },
       1000 + 100 + TiffIfdSize(2) + 8},
  });
}

TEST(TiffHandler, ReportsNothingAndTooMuchAtTheCap) {
  ExpectTiffLengths({
      {"no length at all",
       [](TiffLayout& t) {
         t.PutIfd(8, {{256, kShort, 1, 64}}, 0);
       },
       kCap},
      {"first directory unreadable", [](TiffLayout& t) { t.SetFirstIfd(0x7FFFFFF0); }, kCap},
      {"just under the cap",
       [](TiffLayout& t) {
         t.PutIfd(8, {{273, kLong, 1, 0xF000000}, {279, kLong, 1, 0xA00000 - TiffIfdSize(2)}}, 0);
       },
       kCap},
      {"over the cap",
       [](TiffLayout& t) {
         t.PutIfd(8, {{273, kLong, 1, 0xF000000}, {279, kLong, 1, 0xA00000}}, 0);
       },
       kCap},
      {"over 4 GiB",
       [](TiffLayout& t) {
         t.PutIfd(8, {{273, kLong, 1, 0xFFFFFFFF}, {279, kLong, 1, 0xFFFFFFFF}}, 0);
       },
       kCap},
      {"a bare strip offset",
       [](TiffLayout& t) {
         t.PutIfd(8, {{273, kLong, 1, 300'000}}, 0);
       },
       300'000},
  });
}

TEST(TiffHandler, ChainsThatComeBackEnd) {
  ExpectTiffLengths({
      {"directory naming itself as its successor",
       [](TiffLayout& t) {
         t.PutIfd(8, {{282, kRational, 1, 0}}, 8);
       },
       8},
      {"two directories naming each other",
       [](TiffLayout& t) {
         t.PutIfd(8, {{282, kRational, 1, 0}}, 100);
         t.PutIfd(100, {{282, kRational, 2, 0}}, 8);
       },
       8 + 16},
      {"sub-IFD naming its parent",
       [](TiffLayout& t) {
         t.PutIfd(8, {{282, kRational, 1, 0}, {330, kLong, 1, 8}}, 0);
       },
       8},
      {"sub-IFD leading back into the main chain",
       [](TiffLayout& t) {
         t.PutIfd(8, {{282, kRational, 1, 0}, {330, kLong, 1, 200}}, 100);
         t.PutIfd(100, {{282, kRational, 2, 0}}, 0);
         t.PutIfd(200, {{282, kRational, 4, 0}}, 8);
       },
       8 + 32},
  });
}

TEST(TiffHandler, LongChainsStopAtTheBound) {
  // 2,000 distinct directories in one chain, each adding 8 bytes: only the first 1,024 are
  // walked.
  TiffLayout tiff(true, 8);
  constexpr uint32_t kIfds = 2000;
  for (uint32_t i = 0; i < kIfds; ++i) {
    const uint32_t at = 8 + TiffIfdSize(1) * i;
    tiff.PutIfd(at, {{282, kRational, 1, 0}}, i + 1 < kIfds ? at + TiffIfdSize(1) : 0);
  }
  const Outcome outcome = RunHandler<TiffHandler>(tiff.bytes());
  EXPECT_EQ(outcome.length, 8 * IfdVisitLog::kMaxIfds);
}

TEST(TiffHandler, DirectoryRunningPastTheWindowEndsThere) {
  // 1,000 entries from offset 8. A window of eight 512-byte sectors holds the count and 340 whole
  // entries; the rest and the next-IFD offset are not read. With 4,096-byte sectors all fit, and
  // the next directory is walked.
  TiffLayout tiff(true, 8);
  std::vector<TiffField> fields(1000, TiffField{282, kRational, 1, 0});
  const uint32_t next = 8 + TiffIfdSize(1000);
  tiff.PutIfd(8, fields, next);
  tiff.PutIfd(next, {{283, kRational, 3, 0}}, 0);
  EXPECT_EQ(RunHandler<TiffHandler>(tiff.bytes(), 512).length, 340u * 8);
  EXPECT_EQ(RunHandler<TiffHandler>(tiff.bytes(), 4096).length, 1000u * 8 + 24);
}

TEST(TiffHandler, HugeArrayCountsAndOffsetsReadNothingOutside) {
  ExpectTiffLengths({
      // The last element of a 2^32-1 element array lies 16 GiB away: it reads as 0.
      {"huge strip count",
       [](TiffLayout& t) {
         t.PutIfd(8, {{282, kRational, 1, 0}, {273, kLong, 0xFFFFFFFF, 100}}, 0);
       },
       kCap},
      {"strip array offset far beyond the medium",
       [](TiffLayout& t) {
         t.PutIfd(8, {{273, kLong, 1, 600}, {279, kLong, 5, 0xFFFFFFF0}}, 0);
       },
       600},
      {"make text far beyond the medium",
       [](TiffLayout& t) {
         t.PutIfd(8, {{271, kAscii, 0xFFFFFFFF, 0xFFFFFFFF}, {273, kLong, 1, 600}}, 0);
       },
       600},
      {"sub-IFD pair far beyond the medium",
       [](TiffLayout& t) {
         t.PutIfd(8, {{273, kLong, 1, 600}, {330, kLong, 2, 0xFFFFFFFD}}, 0);
       },
       600},
  });
}

// A Canon TIFF with a JPEG stream `gap` bytes behind its strip, which ends at 1,512.
std::vector<uint8_t> CanonTiffWithJpeg(uint32_t gap, const std::vector<uint8_t>& jpeg,
                                       bool second_ifd = false) {
  TiffLayout tiff(true, 8);
  tiff.PutIfd(8, {{271, kAscii, 10, 100}, {273, kLong, 1, 512}, {279, kLong, 1, 1000}},
              second_ifd ? 120 : 0);
  tiff.PutText(100, "Canon EOS");
  if (second_ifd) tiff.PutIfd(120, {{282, kRational, 1, 0}}, 0);
  tiff.Extend(1512 + gap);
  tiff.PutBytes(1512 + gap, jpeg);
  return tiff.bytes();
}

TEST(TiffHandler, CanonFilesGetTheJpegBehindTheStrip) {
  const auto jpeg = samples::EncodeJpeg({.width = 32, .height = 24});
  const uint64_t tiff_part = 512 + 1000 + TiffIfdSize(3);
  struct Case {
    uint32_t gap;
    uint64_t length;
  };
  // The start-of-image marker is looked for 2 to 301 bytes behind the strip.
  const Case cases[] = {
      {0, tiff_part},
      {1, tiff_part},
      {2, tiff_part + 2 + jpeg.size()},
      {150, tiff_part + 150 + jpeg.size()},
      {301, tiff_part + 301 + jpeg.size()},
      {302, tiff_part},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.gap);
    EXPECT_EQ(RunHandler<TiffHandler>(CanonTiffWithJpeg(c.gap, jpeg)).length, c.length);
  }
  // The JPEG is measured again after every later directory of the same candidate.
  EXPECT_EQ(RunHandler<TiffHandler>(CanonTiffWithJpeg(10, jpeg, true)).length,
            tiff_part + (10 + jpeg.size()) + 8 + (10 + jpeg.size()));

  // Other makers get nothing added.
  auto nikon = CanonTiffWithJpeg(2, jpeg);
  std::copy_n("NIKON", 5, nikon.begin() + 100);
  EXPECT_EQ(RunHandler<TiffHandler>(nikon).length, tiff_part);
}

TEST(TiffHandler, CanonJpegWithoutEndRunsToTheEndOfTheMedium) {
  auto jpeg = samples::EncodeJpeg({.width = 32, .height = 24, .without_eoi = true});
  const auto file = CanonTiffWithJpeg(4, jpeg);
  // 16 zero sectors follow the file; the search stops at the end of the last window read, which
  // starts at the sector holding the strip's end.
  const Outcome outcome = RunHandler<TiffHandler>(file, 512, 0, 16);
  const uint64_t medium = file.size() + 16 * 512;
  const uint64_t window = 8 * 512;
  const uint64_t first_window = 1512 / 512 * 512;
  const uint64_t windows = (medium - first_window + window - 1) / window;
  EXPECT_EQ(outcome.length, 512 + 1000 + TiffIfdSize(3) + first_window + windows * window - 1512);
}

// With every type selected and the TIFF family's order, a TIFF-headed file goes to the first
// handler that accepts it; an unknown maker's file ends up as TIFF.
TEST(TiffHandler, TakesWhatTheRawHandlersReject) {
  TiffLayout tiff(false, 8);
  tiff.PutIfd(8, {{271, kAscii, 8, 200}, {273, kLong, 1, 1024}, {279, kLong, 1, 2048}}, 0);
  tiff.PutText(200, "Minolta");
  std::vector<uint8_t> medium(512 * 20, 0);
  std::fill_n(medium.begin(), 512 * 4, 0xA5);
  std::copy(tiff.bytes().begin(), tiff.bytes().end(), medium.begin() + 512 * 4);
  const auto found = Scan(medium, FileTypeSelection());
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].type, kTypeTiff);
  EXPECT_EQ(found[0].offset, 2048u);
  EXPECT_EQ(found[0].length, 1024u + 2048 + TiffIfdSize(3));
}

}  // namespace
}  // namespace pictavo
