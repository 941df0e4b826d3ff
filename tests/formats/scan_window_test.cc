#include "formats/scan_window.h"

#include <gtest/gtest.h>

#include <random>

#include "platform/memory_source.h"
#include "platform/sector_source.h"
#include "samples/image_builder.h"

namespace pictavo {
namespace {

// The same bytes, only ever read into a window.
class UnmappedSource : public MemorySectorSource {
 public:
  using MemorySectorSource::MemorySectorSource;
  const uint8_t* View(uint64_t, uint32_t) override { return nullptr; }
  const uint8_t* Peek(uint64_t, uint32_t) override { return nullptr; }
};

size_t NaiveFindEndPair(const std::vector<uint8_t>& data, size_t from, size_t end) {
  for (size_t i = from; i + 1 < end; ++i) {
    if (data[i] == 0xFF && data[i + 1] == 0xD9) return i;
  }
  return end;
}

// Bytes where 0xFF is common but never followed by 0xD9, as in compressed image data.
std::vector<uint8_t> NoisyBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(size);
  for (auto& byte : bytes) {
    byte = static_cast<uint8_t>(random() % 7 == 0 ? 0xFF : random());
    if (byte == 0xD9) byte = 0xD8;
  }
  return bytes;
}

TEST(FindEndPair, FindsTheFirstPairWhollyInsideTheRange) {
  std::vector<uint8_t> bytes = NoisyBytes(200, 1);
  EXPECT_EQ(FindEndPair(bytes.data(), 0, bytes.size()), bytes.size());
  for (const size_t at : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{17}, size_t{31},
                          size_t{100}, size_t{197}, size_t{198}}) {
    SCOPED_TRACE(at);
    std::vector<uint8_t> planted = bytes;
    planted[at] = 0xFF;
    planted[at + 1] = 0xD9;
    for (const size_t from : {size_t{0}, size_t{1}, at, at + 1}) {
      for (const size_t end : {at + 1, at + 2, at + 3, planted.size()}) {
        if (end > planted.size()) continue;
        EXPECT_EQ(FindEndPair(planted.data(), from, end), NaiveFindEndPair(planted, from, end))
            << "from " << from << " end " << end;
      }
    }
  }
}

// The search reads windows one by one from a source it cannot view, and runs of windows in
// place from a mapped file or memory; both must give the same length for every placement of the
// pair: inside the first window, across a window or run boundary, near the cap, near the end of the
// medium, or nowhere.
TEST(SearchEndPair, GivesTheSameLengthInPlaceAsWindowByWindow) {
  constexpr uint16_t kSector = 512;
  constexpr uint32_t kWindowSectors = 8;
  constexpr uint64_t kWindow = kSector * kWindowSectors;
  constexpr uint64_t kStart = 3 * kSector;
  constexpr uint64_t kRun = 2u << 20;
  const size_t size = (7u << 20) + 1000;
  const std::vector<uint8_t> noise = NoisyBytes(size, 7);

  std::vector<uint64_t> placements = {kStart + 40,
                                      kStart + kWindow - 2,
                                      kStart + kWindow - 1,
                                      kStart + kWindow,
                                      kStart + kWindow + kRun - 1,
                                      kStart + kWindow + kRun,
                                      kStart + kWindow + 2 * kRun - 1,
                                      size - 1500,
                                      size - 2,
                                      0};  // 0: no pair at all
  const std::vector<uint64_t> caps = {uint64_t{250} << 20, kRun + 12345, kWindow * 3,
                                      size - kStart - 1500};
  samples::TempDir dir;
  for (const uint64_t at : placements) {
    std::vector<uint8_t> bytes = noise;
    if (at != 0) {
      bytes[at] = 0xFF;
      bytes[at + 1] = 0xD9;
    }
    const std::string path = dir.File("medium.bin");
    ASSERT_TRUE(samples::WriteFile(path, bytes));
    int error = 0;
    auto file = FileSectorSource::Open(path, {}, &error);
    ASSERT_TRUE(file);
    UnmappedSource memory(bytes, kSector);
    for (const uint64_t cap : caps) {
      SCOPED_TRACE(testing::Message() << "pair at " << at << ", cap " << cap);
      ScanWindow in_file(kSector, kWindowSectors);
      ScanWindow in_memory(kSector, kWindowSectors);
      ScanWindow by_window(kSector, kWindowSectors);
      MemorySectorSource mapped(bytes, kSector);
      ASSERT_TRUE(in_file.Load(*file, kStart));
      ASSERT_TRUE(in_memory.Load(mapped, kStart));
      ASSERT_TRUE(by_window.Load(memory, kStart));
      const uint64_t expected = SearchEndPair(memory, kStart, by_window, 2, cap);
      EXPECT_EQ(SearchEndPair(*file, kStart, in_file, 2, cap), expected);
      EXPECT_EQ(SearchEndPair(mapped, kStart, in_memory, 2, cap), expected);
      if (at != 0 && at + 2 - kStart <= cap) {
        EXPECT_EQ(expected, at + 2 - kStart);
      }
    }
  }
}

}  // namespace
}  // namespace pictavo
