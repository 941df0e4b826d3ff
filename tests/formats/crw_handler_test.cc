#include "formats/crw_handler.h"

#include <gtest/gtest.h>

#include "carve_test_util.h"
#include "samples/crw_sample.h"
#include "support/faulty_source.h"

namespace pictavo {
namespace {

using samples::CrwLayout;
using samples::ImageBuilder;
using samples::MakeCrw;
using testing::Carve;

TEST(CrwHandler, DirectorySearchRules) {
  // The directory starts at D = 26 + raw + jpeg; a well-formed file is D + 2 + 10 n + 4 long.
  struct Case {
    const char* name;
    CrwLayout layout;
    uint64_t length;  // 0: rejected
  };
  const Case cases[] = {
      {"well formed", {}, (26 + 3000 + 1000) + 2 + 10 * 3 + 4},
      {"two records", {.records = 2}, (26 + 3000 + 1000) + 2 + 10 * 2 + 4},
      // A wrong trailing value leaves the length at the first record, D + 2.
      {"wrong trailing value", {.trailer_error = 4}, (26 + 3000 + 1000) + 2},
      {"raw-data type missing", {.raw_type = 0x2006}, 0},
      // In big-endian files the type is stored 0x20 0x05 and never matches.
      {"big-endian", {.big_endian = true}, 0},
      // The pattern's first byte at the second position of the second 4,096-byte window
      // (M = 4,098): the record count and type in front of it lie in the first window.
      {"pattern at a window start",
       {.raw_bytes = 3000, .jpeg_bytes = 4090 - 26 - 3000},
       4090 + 2 + 10 * 3 + 4},
      // The directory's trailing value straddles the window end (it starts at 4,094) and is read
      // from where it lies.
      {"trailing value across windows",
       {.raw_bytes = 3000, .jpeg_bytes = 4062 - 26 - 3000},
       4062 + 2 + 10 * 3 + 4},
      // A long directory whose trailing value lies several windows further on.
      {"trailing value far behind", {.records = 1500}, (26 + 3000 + 1000) + 2 + 10 * 1500 + 4},
      // The pattern starts at 4,092, in the last six bytes of the first window: not found there
      // nor in the next, and nothing follows on the medium.
      {"pattern straddling windows", {.raw_bytes = 3000, .jpeg_bytes = 4084 - 26 - 3000}, 0},
      // Window - 6 = 4,090 is the first start position not tested, window - 7 the last tested.
      {"pattern at window - 6", {.raw_bytes = 3000, .jpeg_bytes = 4082 - 26 - 3000}, 0},
      {"pattern at window - 7",
       {.raw_bytes = 3000, .jpeg_bytes = 4081 - 26 - 3000},
       4081 + 2 + 10 * 3 + 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> medium = MakeCrw(c.layout);
    medium.resize(medium.size() + 40 * 512, 0x33);
    const auto length = Carve<CrwHandler>(medium);
    if (c.length == 0) {
      EXPECT_EQ(length, std::nullopt);
    } else {
      EXPECT_EQ(length, c.length);
    }
  }
}

TEST(CrwHandler, WithoutADirectoryTheSearchReadsToTheEndOfTheMedium) {
  std::vector<uint8_t> medium = MakeCrw({.raw_type = 0x2005});
  medium.resize(26 + 100, 0x44);  // no directory at all
  medium.resize(3 << 20, 0x44);
  testing::FaultySource source(medium, 512);
  CrwHandler handler;
  EXPECT_EQ(Carve(handler, source), std::nullopt);
  const auto& [last_offset, last_count] = source.read_log().back();
  EXPECT_GE(last_offset + last_count, medium.size());
}

TEST(CrwHandler, LengthIsCappedAt250MiB) {
  // The directory lies 300 MB into a medium that holds nothing else.
  constexpr uint64_t kDirectory = 300'000'000;
  testing::OverlaySource source(kDirectory + (1 << 20), 0x55, 512);
  source.Lay(0, MakeCrw({}));
  std::vector<uint8_t> directory = {3, 0, 0x05, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0x07, 0x20};
  source.Lay(kDirectory, directory);
  CrwHandler handler;
  // The search first meets the small file's own directory; move it out of the way.
  source.Lay(26 + 3000 + 1000, std::vector<uint8_t>(40, 0x55));
  EXPECT_EQ(Carve(handler, source), CrwHandler::kMaxLength);
}

TEST(CrwHandler, CorpusSamples) {
  int tried = 0;
  {
    // ExifTool appended a 560-byte "CANON OPTIONAL DATA" block (XMP) behind the CIFF heap; the
    // root directory at 6,220 has 3 records and its trailing value at 6,252 ends the CRW, so
    // the file is measured 6,220 + 2 + 30 + 4 = 6,256 bytes, without that block.
    const auto rebel = testing::CorpusFile("crw/canon-digital-rebel-stripped.crw");
    if (!rebel.empty()) {
      ++tried;
      for (const uint32_t lead : {0u, 3u}) {
        ImageBuilder builder(512, 31 + lead);
        builder.Gap(lead);
        const uint64_t at = builder.Place(rebel);
        builder.Gap(8);
        const auto found = testing::ScanFor(kTypeCrw, builder.bytes());
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].offset, at);
        EXPECT_EQ(found[0].length, 6220u + 2 + 10 * 3 + 4);
      }
    }
  }
  {
    // This file has no raw-data record (only a thumbnail), so no directory pattern exists: the
    // search runs to the end of the medium and rejects the candidate.
    const auto s40 = testing::CorpusFile("crw/canon-powershot-s40-norawdata.crw");
    if (!s40.empty()) {
      ++tried;
      ImageBuilder builder(512, 37);
      builder.Gap(2);
      builder.Place(s40);
      builder.Gap(8);
      EXPECT_TRUE(testing::ScanFor(kTypeCrw, builder.bytes()).empty());
    }
  }
  if (tried == 0) GTEST_SKIP() << "corpus not present";
}

}  // namespace
}  // namespace pictavo
