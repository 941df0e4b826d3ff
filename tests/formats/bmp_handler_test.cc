#include "formats/bmp_handler.h"

#include <gtest/gtest.h>

#include "carve_test_util.h"
#include "samples/bmp_sample.h"
#include "support/faulty_source.h"

namespace pictavo {
namespace {

using samples::BmpOptions;
using samples::EncodeBmp;
using samples::ImageBuilder;
using testing::Carve;

// A bitmap header with the given declared size and dimensions, followed by zeros.
std::vector<uint8_t> Header(uint32_t declared, int32_t width, int32_t height, uint16_t bpp) {
  std::vector<uint8_t> header(54, 0);
  auto put = [&](size_t at, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) header[at + i] = static_cast<uint8_t>(value >> (8 * i));
  };
  header[0] = 'B';
  header[1] = 'M';
  put(2, declared, 4);
  put(10, 54, 4);
  put(14, 40, 4);
  put(18, static_cast<uint32_t>(width), 4);
  put(22, static_cast<uint32_t>(height), 4);
  put(26, 1, 2);
  put(28, bpp, 2);
  return header;
}

TEST(BmpHandler, LengthRules) {
  struct Case {
    const char* name;
    std::vector<uint8_t> header;
    uint16_t sector_size;
    uint64_t length;
  };
  const Case cases[] = {
      {"declared size just below the cap", Header(0x9FFFFF, 10, 10, 24), 512, 0x9FFFFF},
      {"declared size at the cap", Header(0xA00000, 10, 10, 24), 512, 0xA00000},
      {"declared size 0, 24 bits", Header(0, 100, 100, 24), 512, 3 * 100 * 100 + 512},
      {"the added sector is the medium's", Header(0, 100, 100, 24), 4096, 3 * 100 * 100 + 4096},
      {"declared size 0, 8 bits", Header(0, 127, 64, 8), 512, 1 * 127 * 64 + 512},
      {"declared size 0, 4 bits", Header(0, 100, 100, 4), 512, 0},
      {"declared size above the cap, 32 bits", Header(0xA00001, 2000, 2000, 32), 512, 0xA00000},
      {"declared size above the cap, 4 bits", Header(0xFFFFFFFF, 2000, 2000, 4), 512, 0xA00000},
      // 3 x -100 x 100 + 512 = -29,488, above the cap when taken as unsigned.
      {"top-down with declared size 0", Header(0, 100, -100, 24), 512, 0xA00000},
      // 4 x 65,536 x 16,384 = 2^32 wraps to 0 in 32 bits: only the sector is left.
      {"product wraps in 32 bits", Header(0, 65536, 16384, 32), 512, 512},
      {"declared size 0, no bits per pixel", Header(0, 100, 100, 0), 512, 512},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> medium = c.header;
    medium.resize(8 * c.sector_size, 0);
    EXPECT_EQ(Carve<BmpHandler>(medium, c.sector_size), c.length);
  }
}

TEST(BmpHandler, Signature) {
  std::vector<uint8_t> head = Header(1000, 1, 1, 24);
  BmpHandler handler;
  EXPECT_TRUE(handler.MatchSignature(head.data()));
  for (const size_t reserved : {6, 7, 8, 9}) {
    auto changed = head;
    changed[reserved] = 1;
    EXPECT_FALSE(handler.MatchSignature(changed.data())) << reserved;
  }
  head[1] = 'm';
  EXPECT_FALSE(handler.MatchSignature(head.data()));
}

TEST(BmpHandler, ReadsOnlyWhenTheDeclaredSizeIsUnusable) {
  const auto header = Header(5000, 10, 10, 24);
  testing::FaultySource source(header, 512);
  BmpHandler handler;
  ASSERT_TRUE(handler.MatchSignature(header.data()));
  EXPECT_EQ(handler.MeasureLength(source, 0), 5000u);
  EXPECT_EQ(source.reads(), 0u);

  // Declared 0 and the sector unreadable: the length stays 0.
  const auto zero = Header(0, 10, 10, 24);
  testing::FaultySource failing(zero, 512);
  failing.FailRange(0, 512);
  ASSERT_TRUE(handler.MatchSignature(zero.data()));
  EXPECT_EQ(handler.MeasureLength(failing, 0), 0u);
}

TEST(BmpHandler, EncodedBitmapsAndCorpusSamples) {
  struct Sample {
    std::string name;
    std::vector<uint8_t> file;
    uint64_t expected;
  };
  std::vector<Sample> samples;
  const auto g24 = EncodeBmp({.width = 127, .height = 64, .bits_per_pixel = 24});
  samples.push_back({"24 bits, padded rows", g24, g24.size()});
  const auto p8 = EncodeBmp({.width = 33, .height = -20, .bits_per_pixel = 8});
  samples.push_back({"8 bits, top-down", p8, p8.size()});
  // Without a declared size the dimensions give 3 x 127 x 64 + 512: the row padding (one byte a
  // row) and the 54 header bytes are not counted, the sector is.
  const auto undeclared =
      EncodeBmp({.width = 127, .height = 64, .bits_per_pixel = 24, .zero_declared_size = true});
  samples.push_back({"no declared size", undeclared, 3 * 127 * 64 + 512});
  for (const char* path :
       {"bmp/gracehopper-v3hdr-32bpp.bmp", "bmp/bmpsuite-g24.bmp", "bmp/bmpsuite-g08rle.bmp"}) {
    auto file = testing::CorpusFile(path);
    // Each declares its exact size.
    if (!file.empty()) samples.push_back({path, file, file.size()});
  }
  ImageBuilder builder(512, 29);
  builder.Gap(3);
  std::vector<uint64_t> offsets;
  for (const Sample& sample : samples) {
    offsets.push_back(builder.Place(sample.file));
    builder.Gap(2);
  }
  const auto found = testing::ScanFor(kTypeBmp, builder.bytes());
  ASSERT_EQ(found.size(), samples.size());
  for (size_t i = 0; i < samples.size(); ++i) {
    SCOPED_TRACE(samples[i].name);
    EXPECT_EQ(found[i].offset, offsets[i]);
    EXPECT_EQ(found[i].length, samples[i].expected);
  }
}

}  // namespace
}  // namespace pictavo
