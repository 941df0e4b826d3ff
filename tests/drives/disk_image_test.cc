#include "drives/disk_image.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstring>

#include "engine/scan_engine.h"
#include "platform/memory_source.h"
#include "samples/image_builder.h"
#include "samples/jpeg_sample.h"
#include "support/faulty_source.h"

namespace pictavo {
namespace {

using samples::RandomBytes;
using samples::ReadFile;
using samples::TempDir;
using samples::WriteFile;

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

uint64_t Le(const std::vector<uint8_t>& bytes, size_t pos, int width) {
  uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = (value << 8) | bytes[pos + i];
  return value;
}

class Recorder : public ImageCreationObserver {
 public:
  void OnStart(uint64_t size, uint16_t sector_size) override {
    started_size = size;
    started_sector = sector_size;
  }
  void OnProgress(uint32_t percent, uint64_t copied, uint64_t) override {
    percents.push_back(percent);
    copied_after.push_back(copied);
    if (cancel_at && copied >= cancel_at) cancel->store(true);
  }
  void OnUnreadable(uint64_t offset, uint32_t length, int error) override {
    unreadable.push_back({offset, length});
    last_error = error;
  }
  uint64_t started_size = 0;
  uint16_t started_sector = 0;
  std::vector<uint32_t> percents;
  std::vector<uint64_t> copied_after;
  std::vector<UnreadableRange> unreadable;
  int last_error = 0;
  uint64_t cancel_at = 0;
  std::atomic<bool>* cancel = nullptr;
};

TEST(DiskImage, CopiesIn63SectorBlocksAndEndsWithTheTrailer) {
  TempDir dir;
  const std::vector<uint8_t> medium = RandomBytes(100000, 7);
  MemorySectorSource source(medium, 512, "card");
  Recorder recorder;
  const ImageCreationResult result =
      CreateDiskImage(source, dir.File("card.img"), &recorder, nullptr);
  ASSERT_TRUE(result.ok()) << result.message << " " << result.detail;
  EXPECT_EQ(result.message, kImageCreatedMessage);
  EXPECT_TRUE(result.detail.empty());
  EXPECT_EQ(recorder.started_size, 100000u);
  EXPECT_EQ(recorder.started_sector, 512);
  EXPECT_EQ(recorder.copied_after, (std::vector<uint64_t>{32256, 2 * 32256, 3 * 32256, 100000}));
  EXPECT_EQ(recorder.percents, (std::vector<uint32_t>{32, 64, 96, 100}));

  const std::vector<uint8_t> image = ReadFile(dir.File("card.img"));
  ASSERT_EQ(image.size(), 100000u + 32);
  EXPECT_TRUE(std::equal(medium.begin(), medium.end(), image.begin()));
  EXPECT_EQ(Le(image, 100000, 8), 100000u);
  EXPECT_EQ(Le(image, 100008, 2), 512u);
  EXPECT_EQ(std::memcmp(image.data() + 100010, ImageTrailerMagic(), 22), 0);

  EXPECT_TRUE(CheckImageFile(dir.File("card.img")));
  const auto info = ReadImageInfo(dir.File("card.img"));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->file_size, 100032u);
  EXPECT_EQ(info->trailer.data_size, 100000u);
  EXPECT_EQ(info->trailer.sector_size, 512);
}

// The never-written parts of a card are zeros; in the image they are holes, and the image still
// reads back as the medium followed by its trailer.
TEST(DiskImage, ZerosOfTheMediumBecomeHoles) {
  TempDir dir;
  std::vector<uint8_t> medium = RandomBytes(3u << 20, 9);
  std::fill(medium.begin(), medium.begin() + (1u << 20) + 1000, 0);
  std::fill(medium.end() - 300000, medium.end(), 0);
  MemorySectorSource source(medium, 512, "card");
  const ImageCreationResult result =
      CreateDiskImage(source, dir.File("card.img"), nullptr, nullptr);
  ASSERT_TRUE(result.ok()) << result.message << " " << result.detail;
  const std::vector<uint8_t> image = ReadFile(dir.File("card.img"));
  ASSERT_EQ(image.size(), medium.size() + 32);
  EXPECT_TRUE(std::equal(medium.begin(), medium.end(), image.begin()));
  EXPECT_TRUE(CheckImageFile(dir.File("card.img")));
  struct stat st {};
  ASSERT_EQ(stat(dir.File("card.img").c_str(), &st), 0);
  EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, medium.size() - (1u << 20));
}

TEST(DiskImage, AnEmptySourceGivesATrailerOnly) {
  TempDir dir;
  MemorySectorSource source({}, 4096);
  const ImageCreationResult result = CreateDiskImage(source, dir.File("e.img"), nullptr, nullptr);
  ASSERT_TRUE(result.ok());
  const std::vector<uint8_t> image = ReadFile(dir.File("e.img"));
  ASSERT_EQ(image.size(), 32u);
  EXPECT_EQ(Le(image, 0, 8), 0u);
  EXPECT_EQ(Le(image, 8, 2), 4096u);
}

// A failed block is read again sector by sector: only the sectors that cannot be read become
// zeros, each at its own offset, and the rest of the block is kept.
TEST(DiskImage, OnlyTheUnreadableSectorsOfAFailedBlockBecomeZeros) {
  TempDir dir;
  const std::vector<uint8_t> medium = RandomBytes(10 * 32256 + 1000, 3);
  testing::FaultySource source(medium, 512, "bad card");
  source.FailRange(32256 + 100, 32256 + 110);             // block 1, its first sector
  source.FailRange(2 * 32256 + 5, 2 * 32256 + 6);         // block 2, its first sector
  source.FailRange(2 * 32256 + 600, 2 * 32256 + 601);     // block 2, the next one: merged
  source.FailRange(7 * 32256 + 512, 7 * 32256 + 513);     // block 7, its second sector
  source.FailRange(10 * 32256 + 999, 10 * 32256 + 1000);  // the short last piece
  Recorder recorder;
  const ImageCreationResult result =
      CreateDiskImage(source, dir.File("bad.img"), &recorder, nullptr);
  ASSERT_TRUE(result.ok()) << result.message;
  const std::vector<UnreadableRange> expected = {
      {32256, 512}, {2 * 32256, 1024}, {7 * 32256 + 512, 512}, {10 * 32256 + 512, 488}};
  ASSERT_EQ(result.unreadable.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(result.unreadable[i].offset, expected[i].offset) << i;
    EXPECT_EQ(result.unreadable[i].length, expected[i].length) << i;
  }
  EXPECT_EQ(result.unreadable_bytes, 512u + 1024 + 512 + 488);
  EXPECT_EQ(recorder.unreadable.size(), 5u);
  EXPECT_EQ(recorder.last_error, EIO);
  EXPECT_NE(result.detail.find("2536 bytes of the source could not be read"), std::string::npos)
      << result.detail;
  EXPECT_NE(result.detail.find("offset 32256 (512 bytes), offset 64512 (1024 bytes)"),
            std::string::npos)
      << result.detail;
  EXPECT_EQ(recorder.percents.size(), 11u);  // progress still comes once per block

  const std::vector<uint8_t> image = ReadFile(dir.File("bad.img"));
  ASSERT_EQ(image.size(), medium.size() + 32);
  for (size_t i = 0; i < medium.size(); ++i) {
    bool lost = false;
    for (const UnreadableRange& range : expected) {
      lost = lost || (i >= range.offset && i < range.offset + range.length);
    }
    ASSERT_EQ(image[i], lost ? 0 : medium[i]) << "byte " << i;
  }
}

// Copy blocks of 63 sectors do not fall on the file system's blocks; the zeros still become holes.
TEST(DiskImage, AnAllZeroMediumGivesAnImageThatAllocatesAlmostNothing) {
  TempDir dir;
  MemorySectorSource source(std::vector<uint8_t>(64u << 20, 0), 512, "empty card");
  const ImageCreationResult result = CreateDiskImage(source, dir.File("z.img"), nullptr, nullptr);
  ASSERT_TRUE(result.ok()) << result.message;
  struct stat st {};
  ASSERT_EQ(stat(dir.File("z.img").c_str(), &st), 0);
  EXPECT_EQ(static_cast<uint64_t>(st.st_size), (64u << 20) + 32);
  EXPECT_LE(static_cast<uint64_t>(st.st_blocks) * 512, 64u * 1024);
  EXPECT_TRUE(CheckImageFile(dir.File("z.img")));
}

TEST(DiskImage, CancellingDeletesThePartialFile) {
  TempDir dir;
  MemorySectorSource source(RandomBytes(40 * 32256, 1), 512);
  std::atomic<bool> cancel{false};
  Recorder recorder;
  recorder.cancel_at = 5 * 32256;
  recorder.cancel = &cancel;
  const ImageCreationResult result = CreateDiskImage(source, dir.File("c.img"), &recorder, &cancel);
  EXPECT_EQ(result.outcome, ImageOutcome::kCancelled);
  EXPECT_EQ(result.message, kImageAbortedMessage);
  EXPECT_EQ(recorder.percents.size(), 5u);
  EXPECT_FALSE(Exists(dir.File("c.img")));
}

TEST(DiskImage, AFailedWriteDeletesTheFileAndIsNeverSuccess) {
  TempDir dir;
  MemorySectorSource source(RandomBytes(20 * 32256, 2), 512);
  rlimit old_limit{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  const auto old_handler = signal(SIGXFSZ, SIG_IGN);
  rlimit small = old_limit;
  small.rlim_cur = 3 * 32256 + 100;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const ImageCreationResult result = CreateDiskImage(source, dir.File("w.img"), nullptr, nullptr);
  setrlimit(RLIMIT_FSIZE, &old_limit);
  signal(SIGXFSZ, old_handler);
  EXPECT_EQ(result.outcome, ImageOutcome::kWriteFailed);
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(result.error_code, EFBIG);
  EXPECT_NE(result.message, kImageCreatedMessage);
  EXPECT_NE(result.detail.find("deleted"), std::string::npos) << result.detail;
  EXPECT_FALSE(Exists(dir.File("w.img")));
}

// A medium far larger than any test machine's free space.
class HugeSource : public SectorSource {
 public:
  int64_t Pread(uint64_t, uint8_t* buffer, uint32_t count, int*) override {
    std::memset(buffer, 0, count);
    return count;
  }
  uint16_t SectorSize() override { return 512; }
  uint64_t Size() const override { return uint64_t{1} << 60; }
  const std::string& Name() const override { return name_; }

 private:
  std::string name_ = "huge";
};

TEST(DiskImage, RefusalsSayWhyAndCreateNothing) {
  TempDir dir;
  HugeSource huge;
  ImageCreationResult result = CreateDiskImage(huge, dir.File("h.img"), nullptr, nullptr);
  EXPECT_EQ(result.outcome, ImageOutcome::kNoFreeSpace);
  EXPECT_EQ(result.message, kImageNoSpaceMessage);
  EXPECT_FALSE(Exists(dir.File("h.img")));

  MemorySectorSource no_sectors(std::vector<uint8_t>(4096), 0, "odd");
  result = CreateDiskImage(no_sectors, dir.File("z.img"), nullptr, nullptr);
  EXPECT_EQ(result.outcome, ImageOutcome::kSourceUnusable);
  EXPECT_NE(result.message.find("sector size of odd is unknown"), std::string::npos);
  EXPECT_FALSE(Exists(dir.File("z.img")));

  result = CreateDiskImage(dir.File("missing"), dir.File("m.img"), nullptr, nullptr);
  EXPECT_EQ(result.outcome, ImageOutcome::kSourceUnusable);
  EXPECT_EQ(result.error_code, ENOENT);
  EXPECT_EQ(result.detail, "No such file or directory");
  EXPECT_FALSE(Exists(dir.File("m.img")));

  MemorySectorSource tiny(std::vector<uint8_t>(512), 512);
  result = CreateDiskImage(tiny, dir.File("no/folder/x.img"), nullptr, nullptr);
  EXPECT_EQ(result.outcome, ImageOutcome::kCannotCreate);
  EXPECT_EQ(result.detail, "No such file or directory");

  const std::vector<uint8_t> keep = {1, 2, 3};
  ASSERT_TRUE(WriteFile(dir.File("taken.img"), keep));
  MemorySectorSource small(std::vector<uint8_t>(1024, 9), 512);
  result = CreateDiskImage(small, dir.File("taken.img"), nullptr, nullptr);
  EXPECT_EQ(result.outcome, ImageOutcome::kCannotCreate);
  EXPECT_EQ(result.message, kImageCannotCreateMessage);
  EXPECT_EQ(result.error_code, EEXIST);
  EXPECT_EQ(ReadFile(dir.File("taken.img")), keep);
}

TEST(DiskImage, TheCheckLooksOnlyAtTheLast22Bytes) {
  TempDir dir;
  const std::vector<uint8_t> magic(ImageTrailerMagic(), ImageTrailerMagic() + 22);
  std::vector<uint8_t> garbage_then_magic = RandomBytes(777, 4);
  garbage_then_magic[775] = 0x00;  // the trailer's sector size: 512
  garbage_then_magic[776] = 0x02;
  garbage_then_magic.insert(garbage_then_magic.end(), magic.begin(), magic.end());
  // The same with a sector size of 3, which no medium has: refused.
  std::vector<uint8_t> bad_sector_size = garbage_then_magic;
  bad_sector_size[775] = 3;
  bad_sector_size[776] = 0;
  std::vector<uint8_t> magic_then_byte = magic;
  magic_then_byte.push_back(0);
  const struct {
    std::vector<uint8_t> bytes;
    bool valid;
  } cases[] = {
      {{}, false},
      {std::vector<uint8_t>(magic.begin() + 1, magic.end()), false},  // 21 bytes
      {magic, true},
      {garbage_then_magic, true},
      {bad_sector_size, false},
      {magic_then_byte, false},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(WriteFile(dir.File("f.img"), c.bytes));
    EXPECT_EQ(CheckImageFile(dir.File("f.img")), c.valid) << c.bytes.size();
  }
  EXPECT_FALSE(CheckImageFile(dir.File("missing.img")));
  // The magic alone passes the check but holds no trailer to read the data size from.
  ASSERT_TRUE(WriteFile(dir.File("f.img"), magic));
  EXPECT_FALSE(ReadImageInfo(dir.File("f.img")));
}

TEST(DiskImage, AScanOfTheImageFindsWhatAScanOfTheSourceFinds) {
  TempDir dir;
  samples::ImageBuilder builder(512, 11);
  builder.Gap(70);
  builder.Place(samples::EncodeJpeg({.width = 120, .height = 90, .seed = 1}));
  builder.Gap(5);
  builder.Place(samples::EncodeJpeg({.width = 50, .height = 50, .seed = 2}));
  builder.Gap(100);
  MemorySectorSource medium(builder.bytes(), 512);
  ASSERT_TRUE(CreateDiskImage(medium, dir.File("m.img"), nullptr, nullptr).ok());

  ScanResults direct, from_image;
  ASSERT_TRUE(RunScan(medium, FileTypeSelection(), direct, nullptr, nullptr).ok);
  ScanOptions options;
  options.raw_sector_size = 4096;  // the image's own sector size wins
  ASSERT_TRUE(RunScan(dir.File("m.img"), options, from_image, nullptr, nullptr).ok);
  EXPECT_EQ(direct.found_count, 2u);
  EXPECT_EQ(from_image.records, direct.records);
}

}  // namespace
}  // namespace pictavo
