// Fuji RAF, Minolta MRW and Sigma X3F: raw files measured from their own headers.
#include <gtest/gtest.h>

#include "carve_harness.h"
#include "formats/mrw_handler.h"
#include "formats/raf_handler.h"
#include "formats/x3f_handler.h"
#include "samples/media_samples.h"
#include "support/faulty_source.h"

namespace pictavo {
namespace {

using media_test::Carve;
using media_test::Medium;
using samples::Bytes;

constexpr uint64_t kCap = 262'144'000;

TEST(RafHandler, LengthFromTheHeaderValues) {
  struct Case {
    const char* name;
    samples::RafLayout layout;
    std::optional<uint64_t> expected;  // nullopt: not claimed
  };
  const Case cases[] = {
      {"data offset + length + value at 132",
       {.cfa_offset = 1024, .cfa_length = 3000, .value_at_132 = 22},
       1024 + 3000 + 22},
      {"no value at 132", {.cfa_offset = 700, .cfa_length = 2000}, 700 + 2000},
      {"0 at offset 100 is no candidate", {.cfa_offset = 0, .cfa_length = 2000}, std::nullopt},
      // Offset and length are added in 32 bits, the value at 132 in 64.
      {"offset + length wraps in 32 bits",
       {.cfa_offset = 0xFFFF'FF00, .cfa_length = 0x300, .value_at_132 = 0x10, .written = 200},
       0x200 + 0x10},
      {"exactly the cap", {.cfa_offset = 1000, .cfa_length = kCap - 1000, .written = 200}, kCap},
      {"above the cap", {.cfa_offset = 1000, .cfa_length = kCap, .written = 200}, kCap},
      {"2^32 or more",
       {.cfa_offset = 0xFFFF'0000,
        .cfa_length = 0xF000,
        .value_at_132 = 0xFFFF'0000,
        .written = 200},
       kCap},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const uint16_t sector_size : {512, 4096, 64}) {
      RafHandler handler;
      EXPECT_EQ(Carve(handler, Medium(samples::MakeRaf(c.layout), {}, 4, sector_size), sector_size),
                c.expected);
    }
  }
}

TEST(RafHandler, RejectedHeaderIsOfferedToTheNextHandler) {
  const auto placed = media_test::PlaceAndScan(samples::MakeRaf({.cfa_offset = 0}), 2);
  EXPECT_FALSE(placed.found.has_value());
  const Bytes raf = samples::MakeRaf({});
  const auto good = media_test::PlaceAndScan(raf, 2);
  ASSERT_TRUE(good.found.has_value());
  EXPECT_EQ(good.found->type, kTypeRaf);
  EXPECT_EQ(good.found->length, raf.size());
}

// The MRM header: signature, its length, the PRD block at 8 with sensor height and width at block
// offsets 16 and 18 and the storage byte at 26, and zeros up to `mrm_length`.
Bytes MrwHeader(uint32_t mrm_length, uint16_t height, uint16_t width, uint8_t storage,
                const Bytes& blocks_before = {}) {
  Bytes file = {0x00, 'M', 'R', 'M'};
  samples::AppendBe32(file, mrm_length);
  samples::Append(file, blocks_before);
  samples::Append(file, {0x00, 'P', 'R', 'D'});
  samples::AppendBe32(file, 24);
  samples::AppendText(file, "21860002");
  samples::AppendBe16(file, height);
  samples::AppendBe16(file, width);
  samples::AppendBe32(file, 0);
  file.push_back(12);
  file.push_back(12);
  file.push_back(storage);
  // Short headers are padded to their length; a huge length is left to the zeros of the medium.
  if (mrm_length < (1u << 20)) file.resize(std::max<size_t>(file.size(), mrm_length + 8), 0);
  return file;
}

Bytes TtwBlock(uint32_t length) {
  Bytes block = {0x00, 'T', 'T', 'W'};
  samples::AppendBe32(block, length);
  block.resize(8 + length, 0x4D);
  return block;
}

TEST(MrwHandler, LengthFromSensorSizeAndStorage) {
  struct Case {
    const char* name;
    Bytes header;
    std::optional<uint64_t> expected;
  };
  const Case cases[] = {
      {"packed 12-bit", MrwHeader(1000, 2000, 3000, 0x59), 2000 * 3000 * 3 / 2 + 1000 + 8},
      {"unpacked 16-bit", MrwHeader(1000, 2000, 3000, 0x52), 1000 + 2000 * 3000 * 2 + 8},
      {"PRD after another block", MrwHeader(1000, 100, 200, 0x52, TtwBlock(300)),
       1000 + 100 * 200 * 2 + 8},
      {"PRD starting at the last byte below the MRM length",
       MrwHeader(1015, 10, 10, 0x59, TtwBlock(998)), 10 * 10 * 3 / 2 + 1015 + 8},
      {"PRD starting at the MRM length is not found", MrwHeader(1014, 10, 10, 0x59, TtwBlock(998)),
       std::nullopt},
      // The first block is looked at even when the MRM length does not reach past it.
      {"MRM length 0", MrwHeader(0, 10, 10, 0x52), 0 + 10 * 10 * 2 + 8},
      // Sizes are 32-bit: 40,000 x 40,000 x 3 wraps before the division.
      {"32-bit product wraps", MrwHeader(1000, 40000, 40000, 0x59),
       (40000ull * 40000 * 3) % (1ull << 32) / 2 + 1000 + 8},
      {"capped", MrwHeader(1000, 12000, 12000, 0x52), kCap},
      {"unknown storage byte measures 0", MrwHeader(1000, 2000, 3000, 0x41), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const uint16_t sector_size : {512, 4096}) {
      MrwHandler handler;
      EXPECT_EQ(Carve(handler, Medium(c.header, {}, 4, sector_size), sector_size), c.expected);
    }
  }
}

TEST(MrwHandler, BlockLengthThatWouldWrapEndsTheWalk) {
  // A first block whose length + 8 is 2^32: with 32-bit offsets the walk would stay on it
  // forever. It ends past the MRM length instead, without a PRD block.
  Bytes header = {0x00, 'M', 'R', 'M'};
  samples::AppendBe32(header, 4000);
  samples::Append(header, {0x00, 'T', 'T', 'W', 0xFF, 0xFF, 0xFF, 0xF8});
  MrwHandler handler;
  EXPECT_EQ(Carve(handler, Medium(header)), std::nullopt);
}

TEST(MrwHandler, UnknownStorageByteDoesNotInheritAnEarlierLength) {
  MrwHandler handler;
  const auto packed = Medium(MrwHeader(1000, 2000, 3000, 0x59));
  const auto odd = Medium(MrwHeader(1000, 2000, 3000, 0x00));
  EXPECT_EQ(Carve(handler, packed), 2000 * 3000 * 3 / 2 + 1000 + 8);
  EXPECT_EQ(Carve(handler, odd), 0u);
  EXPECT_EQ(Carve(handler, packed), 2000 * 3000 * 3 / 2 + 1000 + 8);
}

TEST(MrwHandler, HugeHeaderLengthIsReadOnlyAsFarAsTheWalkGoes) {
  // An MRM length of nearly 4 GiB names a header of that many bytes, but the PRD block is the
  // first one: proving the candidate reads a single window, not gigabytes.
  testing::FaultySource source(Medium(MrwHeader(0xFFFF'0000, 10, 10, 0x52)), 512);
  MrwHandler handler;
  EXPECT_EQ(Carve(handler, source), kCap);
  uint64_t bytes_read = 0;
  for (const auto& [offset, count] : source.read_log()) bytes_read += count;
  EXPECT_LE(bytes_read, 64u * 1024);

  // The blocks run on past the end of the medium, where everything reads as zeros: the PRD
  // block after a 5,000-byte block is out of reach.
  Bytes header = MrwHeader(0x100'0000, 10, 10, 0x52, TtwBlock(5000));
  EXPECT_EQ(Carve(handler, Medium(header, {}, 0)), 0x100'0000 + 10 * 10 * 2 + 8);
  header.resize(4096);
  EXPECT_EQ(Carve(handler, header), std::nullopt);
}

TEST(MrwHandler, FailedHeaderReadRejects) {
  testing::FaultySource source(Medium(MrwHeader(1000, 10, 10, 0x52)), 512);
  source.FailRange(0, 1);
  MrwHandler handler;
  uint8_t head[kSectorHeadSize] = {0x00, 'M', 'R', 'M', 0, 0, 0x03, 0xE8};
  ASSERT_TRUE(handler.MatchSignature(head));
  EXPECT_FALSE(handler.Verify(source, 0));
}

TEST(MrwHandler, LaidOutFileIsFoundWithItsExactSize) {
  for (const uint8_t storage : {uint8_t{0x59}, uint8_t{0x52}}) {
    const Bytes mrw = samples::MakeMrw(
        {.sensor_height = 60, .sensor_width = 80, .storage = storage, .blocks_before_prd = 2});
    for (const uint32_t lead : {0u, 3u}) {
      const auto placed = media_test::PlaceAndScan(mrw, lead);
      ASSERT_TRUE(placed.found.has_value());
      EXPECT_EQ(placed.found->type, kTypeMrw);
      EXPECT_EQ(placed.found->length, mrw.size());
    }
  }
}

TEST(X3fHandler, DirectorySearch) {
  struct Case {
    const char* name;
    samples::X3fLayout layout;
    uint64_t expected;
  };
  const Case cases[] = {
      {"directory at 1,000,000 with 10 entries",
       {.directory_at = 1'000'000, .entries = 10},
       1'000'000 + 16 + 12 * 10},
      {"directory right after the first section",
       {.directory_at = 256, .entries = 1},
       256 + 16 + 12},
      {"directory at the end of the first window",
       {.directory_at = 4096 - 4, .entries = 2},
       4092 + 16 + 24},
      {"entry count just past the first window",
       {.directory_at = 4096 - 8, .entries = 2},
       4088 + 16 + 24},
      {"directory in the second window", {.directory_at = 4096, .entries = 3}, 4096 + 16 + 36},
      {"capped", {.directory_at = 2000, .entries = 30'000'000}, kCap},
      // Sizes are 32-bit: 12 x 0x15555556 is 2^32 + 8.
      {"entry count wraps", {.directory_at = 2000, .entries = 0x1555'5556}, 2000 + 16 + 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes file = samples::MakeX3f({.directory_at = c.layout.directory_at,
                                   .entries = std::min<uint32_t>(c.layout.entries, 4)});
    samples::PutLe32(file, c.layout.directory_at + 8, c.layout.entries);
    for (const uint16_t sector_size : {512, 4096}) {
      X3fHandler handler;
      EXPECT_EQ(Carve(handler, Medium(file, {}, 16, sector_size), sector_size), c.expected);
    }
  }
}

TEST(X3fHandler, UnalignedTagIsPassedOver) {
  Bytes file = samples::MakeX3f({.directory_at = 2000, .entries = 2});
  std::copy_n("SECd\0\0\0\0\x07\0\0\0", 12, file.begin() + 1002);
  X3fHandler handler;
  EXPECT_EQ(Carve(handler, Medium(file)), 2000 + 16 + 24);
}

TEST(X3fHandler, WithoutDirectoryTheSearchRunsToTheLastReadableWindow) {
  Bytes file = samples::MakeX3f({.directory_at = 2000, .entries = 2});
  std::copy_n("XXXX", 4, file.begin() + 2000);
  // The medium ends inside the third window (windows of 8 x 512 bytes): the search examines that
  // window to its end, zeros included, and the next read fails. The length is that end + 4.
  Bytes medium = file;
  medium.resize(2 * 4096 + 1024, 0);
  X3fHandler handler;
  EXPECT_EQ(Carve(handler, medium), 3 * 4096 + 4);
}

TEST(X3fHandler, SectionMustFollowTheHeader) {
  Bytes file = samples::MakeX3f({});
  file[232] = 'X';
  X3fHandler handler;
  EXPECT_EQ(Carve(handler, Medium(file)), std::nullopt);
  EXPECT_FALSE(media_test::PlaceAndScan(file, 1).found.has_value());
}

// Real files laid into random bytes.
TEST(RawHeaderCorpus, SamplesAreMeasuredFromTheirHeaders) {
  struct Sample {
    const char* path;
    std::optional<FileTypeId> type;  // nullopt: not found at its offset
    uint64_t expected;               // 0: the file's size
  };
  const Sample samples_list[] = {
      // Raw data at 38,408 of 22 bytes, and 22 at offset 132: 38,452, the whole file.
      {"raf/fuji-s5pro-stripped.raf", kTypeRaf, 38'408 + 22 + 22},
      // Only the first 128 bytes of the file: its header names raw data that ends at
      // 116,335,104, and the value at 132 lies in the zeros after the piece.
      {"raf/fuji-gfx50r-header-128B.raf", kTypeRaf, 1'870'336 + 114'464'768},
      // The raw data was stripped to 16 bytes; the sensor size (2,456 x 3,272, packed) still
      // asks for 12,052,848 bytes of it, so the length runs 12,052,832 bytes past the file.
      {"mrw/minolta-a2-stripped.mrw", kTypeMrw, 2456 * 3272 * 3 / 2 + 2572 + 8},
      {"x3f/sigma-sd10-stripped.x3f", kTypeX3f, 1388 + 16 + 12 * 5},
      // A version 3 file: its header is 264 bytes long, so no section starts at 232 and the
      // candidate is rejected; no other handler claims "FOVb".
      {"x3f/sigma-dp2-stripped.x3f", std::nullopt, 0},
  };
  int tried = 0;
  for (const Sample& s : samples_list) {
    const Bytes file = samples::ReadFile(media_test::CorpusFile(s.path));
    if (file.empty()) continue;
    ++tried;
    SCOPED_TRACE(s.path);
    for (const uint32_t lead : {0u, 7u}) {
      // The truncated RAF header is followed by zeros in its sector, as a short file would be.
      samples::ImageBuilder builder(512, 31);
      if (lead) builder.Gap(lead);
      const uint64_t at = builder.Place(file, samples::ImageBuilder::Fill::kZeros);
      builder.Gap(24);
      const auto found = media_test::FindAt(media_test::ScanAll(builder.bytes()), at);
      if (!s.type) {
        EXPECT_FALSE(found.has_value());
        continue;
      }
      ASSERT_TRUE(found.has_value());
      EXPECT_EQ(found->type, *s.type);
      EXPECT_EQ(found->length, s.expected);
    }
  }
  if (tried == 0) GTEST_SKIP() << "corpus not present at " << PICTAVO_CORPUS_DIR;
}

}  // namespace
}  // namespace pictavo
