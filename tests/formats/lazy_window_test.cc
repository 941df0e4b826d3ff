#include "formats/lazy_window.h"

#include <gtest/gtest.h>

#include <random>

#include "formats/png_handler.h"
#include "samples/image_builder.h"
#include "samples/png_sample.h"
#include "support/faulty_source.h"

namespace pictavo {
namespace {

// What a walk sees through one whole read of the window into a zero-filled buffer.
std::vector<uint8_t> WholeRead(SectorSource& source, uint64_t offset, uint32_t size) {
  std::vector<uint8_t> buffer(size, 0);
  source.ReadAt(offset, size, buffer.data(), ReadRule::kData);
  return buffer;
}

// On a medium without read errors the lazy window shows exactly the bytes of one whole read,
// wherever the walk looks and whether the window ends inside the medium or behind its end.
TEST(LazyWindow, SeesWhatOneWholeReadSees) {
  std::mt19937 rng(42);
  for (const uint16_t sector_size : {512, 4096, 32, 100}) {
    // Mostly random bytes with runs of zeros, so that zero skipping has work to do.
    std::vector<uint8_t> medium = samples::RandomBytes(300'000, sector_size);
    for (size_t at = 1000; at + 5000 < medium.size(); at += 37'000) {
      std::fill_n(medium.begin() + static_cast<long>(at), 4000 + at % 3000, 0);
    }
    MemorySectorSource source(medium, sector_size);
    for (const uint64_t offset : {uint64_t{0}, uint64_t{sector_size} * 7, uint64_t{280'000}}) {
      for (const uint32_t size : {100'000u, 400'000u}) {
        SCOPED_TRACE(::testing::Message() << sector_size << " " << offset << " " << size);
        const std::vector<uint8_t> whole = WholeRead(source, offset, size);
        LazyWindow window;
        ASSERT_TRUE(window.Open(source, offset, size));
        uint64_t pos = 0;
        for (int step = 0; step < 3000; ++step) {
          pos = rng() % 8 == 0 ? rng() % (size + 50) : pos + rng() % 700;
          if (pos >= size + 50) pos = rng() % size;
          ASSERT_EQ(window.At(pos), pos < size ? whole[pos] : 0) << pos;
          const uint64_t limit = pos + rng() % 9000;
          uint64_t expected = pos;
          while (expected < limit && (expected >= size || whole[expected] == 0)) {
            if (expected >= size) {
              expected = limit;
              break;
            }
            ++expected;
          }
          ASSERT_EQ(window.FirstNonZero(pos, limit), expected) << pos << " " << limit;
        }
      }
    }
  }
}

TEST(LazyWindow, FirstReadFailingFailsTheWindow) {
  testing::FaultySource source(std::vector<uint8_t>(64 * 512, 7), 512);
  source.FailRange(512, 1024);
  LazyWindow window;
  EXPECT_FALSE(window.Open(source, 512, 10 * 512));
  // Behind the end of the medium there is nothing to read either.
  EXPECT_FALSE(window.Open(source, 64 * 512, 10 * 512));
  EXPECT_TRUE(window.Open(source, 1024, 10 * 512));
}

TEST(LazyWindow, DataEndsAtTheFirstBlockThatCannotBeRead) {
  std::vector<uint8_t> medium(2 << 20, 0x5A);
  testing::FaultySource source(medium, 512);
  source.FailRange(100'000, 100'512);
  LazyWindow window;
  ASSERT_TRUE(window.Open(source, 0, 1 << 20));
  // A block the walk jumps over is never read, so a bad sector in it hides nothing...
  EXPECT_EQ(window.At(200'000), 0x5A);
  // ...but once the walk touches it, the data ends at the start of its block (4 KB blocks here,
  // and the stand-in's failing reads deliver nothing).
  EXPECT_EQ(window.At(98'303), 0x5A);
  EXPECT_EQ(window.At(100'100), 0);
  EXPECT_EQ(window.At(98'304), 0);
  EXPECT_EQ(window.At(300'000), 0);
}

TEST(LazyWindow, ASmallPngCostsAFewKilobytesOfReading) {
  const auto png = samples::EncodePng({.width = 160, .height = 100, .seed = 9});
  ASSERT_GT(png.size(), 16'000u);
  std::vector<uint8_t> medium = png;
  medium.resize(12 << 20, 0);
  testing::FaultySource source(medium, 512);
  PngHandler handler;
  uint8_t head[kSectorHeadSize] = {};
  std::copy_n(png.begin(), kSectorHeadCopied, head);
  ASSERT_TRUE(handler.MatchSignature(head));
  EXPECT_EQ(handler.MeasureLength(source, 0), png.size());
  uint64_t bytes_read = 0;
  for (const auto& [offset, count] : source.read_log()) bytes_read += count;
  // One 4 KB block per IDAT chunk of 8 KB, and one behind IEND; never the 10 MiB window.
  EXPECT_LE(bytes_read, (png.size() / 8192 + 3) * 4096);
}

}  // namespace
}  // namespace pictavo
