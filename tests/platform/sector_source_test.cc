#include "platform/sector_source.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/system_error.h"
#include "samples/image_builder.h"
#include "support/faulty_source.h"

namespace pictavo {
namespace {

using samples::ImageBuilder;
using samples::TempDir;

TEST(SectorSource, ChunkRuleAcceptsAShortReadAtTheEndButTheDataRuleNeedsOneByte) {
  MemorySectorSource source(std::vector<uint8_t>(1000, 7), 512);
  uint8_t buffer[600];
  uint32_t got = 0;
  EXPECT_TRUE(source.ReadAt(512, 600, buffer, ReadRule::kChunk, &got));
  EXPECT_EQ(got, 488u);
  EXPECT_TRUE(source.ReadAt(512, 600, buffer, ReadRule::kData, &got));
  EXPECT_TRUE(source.ReadAt(1000, 600, buffer, ReadRule::kChunk, &got));
  EXPECT_EQ(got, 0u);
  EXPECT_FALSE(source.ReadAt(1000, 600, buffer, ReadRule::kData, &got));
}

TEST(SectorSource, ReadErrorsFailBothRulesAndKeepTheSystemCode) {
  testing::FaultySource source(std::vector<uint8_t>(4096), 512);
  source.FailRange(1024, 1536);
  uint8_t buffer[512];
  EXPECT_FALSE(source.ReadAt(1024, 512, buffer, ReadRule::kChunk));
  EXPECT_EQ(source.last_error(), EIO);
  EXPECT_FALSE(source.ReadAt(1024, 512, buffer, ReadRule::kData));
  EXPECT_TRUE(source.ReadAt(0, 512, buffer, ReadRule::kData));
}

TEST(FileSectorSource, KnowsImagesRawDumpsAndTheirSizes) {
  TempDir dir;
  ImageBuilder builder(512);
  builder.Gap(10);
  ASSERT_TRUE(builder.WriteRaw(dir.File("raw.bin")));
  ImageBuilder image4k(4096);
  image4k.Gap(3);
  ASSERT_TRUE(image4k.WriteDiskImage(dir.File("disk.img")));

  int error = 0;
  auto raw = FileSectorSource::Open(dir.File("raw.bin"), {}, &error);
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->kind(), SourceKind::kRawFile);
  EXPECT_EQ(raw->SectorSize(), 512);
  EXPECT_EQ(raw->Size(), 5120u);

  auto raw2k = FileSectorSource::Open(dir.File("raw.bin"), {.raw_sector_size = 2048}, &error);
  ASSERT_TRUE(raw2k);
  EXPECT_EQ(raw2k->SectorSize(), 2048);

  // An image's trailer gives the sector size and the data size; the trailer is never scanned.
  auto img = FileSectorSource::Open(dir.File("disk.img"), {.raw_sector_size = 512}, &error);
  ASSERT_TRUE(img);
  EXPECT_EQ(img->kind(), SourceKind::kImageFile);
  EXPECT_EQ(img->SectorSize(), 4096);
  EXPECT_EQ(img->Size(), 3u * 4096);
  EXPECT_EQ(img->FileSize(), 3u * 4096 + 32);
}

TEST(FileSectorSource, OpenFailuresCarryTheSystemReason) {
  TempDir dir;
  int error = 0;
  EXPECT_FALSE(FileSectorSource::Open(dir.File("missing.img"), {}, &error));
  EXPECT_EQ(error, ENOENT);
  EXPECT_EQ(SystemErrorText(error), "No such file or directory");
  EXPECT_FALSE(FileSectorSource::Open(dir.path(), {}, &error));
  EXPECT_EQ(error, EISDIR);
}

// A named pipe would leave open() waiting for a writer for ever; character devices are no media.
TEST(FileSectorSource, PipesAndCharacterDevicesAreRefusedWithoutOpeningThem) {
  TempDir dir;
  ASSERT_EQ(mkfifo(dir.File("pipe").c_str(), 0600), 0);
  struct Case {
    std::string path;
    int error;
    std::string text;
  };
  const Case cases[] = {
      {dir.File("pipe"), ENODEV,
       dir.File("pipe") + " is a named pipe (FIFO), not a disk, a partition or a disk image file."},
      {"/dev/zero", ENODEV,
       "/dev/zero is a character device, not a disk, a partition or a disk image file."},
      {dir.path(), EISDIR,
       dir.path() + " is a folder, not a disk, a partition or a disk image file."},
  };
  for (const Case& c : cases) {
    int error = 0;
    EXPECT_FALSE(FileSectorSource::Open(c.path, {}, &error)) << c.path;
    EXPECT_EQ(error, c.error) << c.path;
    EXPECT_EQ(UnusableSourceText(c.path), c.text);
  }
  EXPECT_EQ(UnusableSourceText(dir.File("missing")), "");
  ASSERT_TRUE(samples::WriteFile(dir.File("raw.bin"), std::vector<uint8_t>(1024, 7)));
  EXPECT_EQ(UnusableSourceText(dir.File("raw.bin")), "");
}

TEST(ImageTrailer, RoundTripsAndRejectsAForeignTail) {
  uint8_t raw[32];
  WriteImageTrailer({.data_size = 0x1'2345'6789ULL, .sector_size = 2048}, raw);
  EXPECT_EQ(raw[0], 0x89);
  EXPECT_EQ(raw[8], 0x00);
  EXPECT_EQ(raw[9], 0x08);
  EXPECT_EQ(raw[10], 'Z');
  EXPECT_EQ(raw[11], 0);
  ImageTrailer parsed;
  ASSERT_TRUE(ParseImageTrailer(raw, &parsed));
  EXPECT_EQ(parsed.data_size, 0x1'2345'6789ULL);
  EXPECT_EQ(parsed.sector_size, 2048);
  raw[31] = 1;
  EXPECT_FALSE(ParseImageTrailer(raw, &parsed));
}

TEST(SystemErrorText, PrivilegeAdviceOnlyForARefusedPermissionOfAnotherUser) {
  struct Case {
    int code;
    uid_t euid;
    bool may_help;
  };
  for (const Case& c : {Case{EACCES, 1000, true}, Case{EACCES, 0, false}, Case{EPERM, 1000, false},
                        Case{EPERM, 0, false}, Case{ENOENT, 1000, false}, Case{EIO, 1000, false}}) {
    EXPECT_EQ(PrivilegesMayHelp(c.code, c.euid), c.may_help) << c.code << " " << c.euid;
  }
}

TEST(SystemErrorText, UsesTheEnglishTextOrSaysThereIsNone) {
  EXPECT_EQ(SystemErrorText(0), "Success");
  EXPECT_EQ(SystemErrorText(EACCES), "Permission denied");
  EXPECT_EQ(SystemErrorText(987654), "failed to retrieve system error");
}

}  // namespace
}  // namespace pictavo

namespace pictavo {
namespace {

// Regular files are served from a mapping that keeps only a few blocks resident; whatever order
// the reads come in, the bytes must be the file's.
TEST(FileSectorSource, MappedReadsAndViewsMatchTheFileAcrossReleasedBlocks) {
  samples::TempDir dir;
  const size_t size = 48u << 20;
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; i += 4096) bytes[i] = static_cast<uint8_t>(i >> 12);
  bytes[size - 1] = 0xEE;
  ASSERT_TRUE(samples::WriteFile(dir.File("big.bin"), bytes));
  int error = 0;
  auto source = FileSectorSource::Open(dir.File("big.bin"), {}, &error);
  ASSERT_TRUE(source);
  const uint8_t* first = source->View(0, 4096);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first[0], 0);
  uint8_t window[8192];
  for (const uint64_t offset : {uint64_t{40} << 20, uint64_t{4096}, uint64_t{(2u << 20) - 100},
                                uint64_t{size - 8192}, uint64_t{30} << 20, uint64_t{0}}) {
    SCOPED_TRACE(offset);
    ASSERT_TRUE(source->ReadAt(offset, sizeof(window), window, ReadRule::kData));
    EXPECT_EQ(0, std::memcmp(window, bytes.data() + offset, sizeof(window)));
    const uint8_t* view = source->View(offset, sizeof(window));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(0, std::memcmp(view, bytes.data() + offset, sizeof(window)));
  }
  for (uint64_t offset = 0; offset < size; offset += 3u << 20) {
    const uint8_t* view = source->View(offset, 4096);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view[0], bytes[offset]);
  }
  EXPECT_EQ(source->View(size - 10, 11), nullptr);
  uint32_t got = 0;
  EXPECT_TRUE(source->ReadAt(size - 10, 100, window, ReadRule::kChunk, &got));
  EXPECT_EQ(got, 10u);
  EXPECT_EQ(window[9], 0xEE);
}

// Counts the 2 MiB blocks of [base, base + size) with at least one page mapped into this
// process, as /proc/self/pagemap tells; -1 when it cannot be read.
int MappedBlocks(const uint8_t* base, size_t size) {
  const int pagemap = open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC);
  if (pagemap < 0) return -1;
  int blocks = 0;
  for (size_t block = 0; block < size; block += 2u << 20) {
    for (size_t page = block; page < std::min(size, block + (2u << 20)); page += 4096) {
      uint64_t entry = 0;
      const uint64_t address = reinterpret_cast<uintptr_t>(base) + page;
      if (pread(pagemap, &entry, sizeof(entry), static_cast<off_t>(address / 4096 * 8)) != 8) {
        close(pagemap);
        return -1;
      }
      if (entry >> 63) {
        ++blocks;
        break;
      }
    }
  }
  close(pagemap);
  return blocks;
}

// Whatever mix of views, peeks and reads spanning blocks walks over the file, only a few
// blocks stay mapped: the resident size must not grow with the medium.
TEST(FileSectorSource, KeepsOnlyAFewBlocksMappedWhateverTheReads) {
  samples::TempDir dir;
  const size_t size = 64u << 20;
  std::vector<uint8_t> bytes(size, 0x5A);
  ASSERT_TRUE(samples::WriteFile(dir.File("big.bin"), bytes));
  int error = 0;
  auto source = FileSectorSource::Open(dir.File("big.bin"), {}, &error);
  ASSERT_TRUE(source);
  const uint8_t* base = source->View(0, 1);
  ASSERT_NE(base, nullptr);
  const uint64_t block = 2u << 20;
  std::vector<uint8_t> window(block + 8192);
  // Each round views one block, peeks at the next two and reads across the two after them, so
  // that the read needs fresh blocks while all the older ones are held.
  for (uint64_t at = block; at + 5 * block <= size; at += 5 * block) {
    ASSERT_NE(source->View(at, 4096), nullptr);
    ASSERT_NE(source->Peek(at + block, static_cast<uint32_t>(2 * block)), nullptr);
    ASSERT_TRUE(source->ReadAt(at + 4 * block - 4096, static_cast<uint32_t>(window.size()),
                               window.data(), ReadRule::kData));
    EXPECT_EQ(window.back(), 0x5A);
  }
  const int mapped = MappedBlocks(base, size);
  if (mapped < 0) GTEST_SKIP() << "/proc/self/pagemap cannot be read here";
  EXPECT_LE(mapped, 9);
}

// A mapped file cut by another program while its bytes are in use: touching the cut part must
// not kill the process, and the source must tell that those bytes are gone.
TEST(FileSectorSource, AFileCutUnderItsMappingDoesNotKillTheReader) {
  TempDir dir;
  const std::vector<uint8_t> bytes = samples::RandomBytes(8 << 20, 77);
  ASSERT_TRUE(samples::WriteFile(dir.File("cut.bin"), bytes));
  int error = 0;
  auto source = FileSectorSource::Open(dir.File("cut.bin"), {}, &error);
  ASSERT_TRUE(source);
  const uint8_t* view = source->View(0, 4 << 20);
  if (view == nullptr) GTEST_SKIP() << "this system does not map the file";
  EXPECT_EQ(view[3 << 20], bytes[3 << 20]);
  ASSERT_EQ(truncate(dir.File("cut.bin").c_str(), 1 << 20), 0);
  // Before, this touch raised SIGBUS.
  volatile uint8_t beyond = view[3 << 20];
  (void)beyond;
  EXPECT_EQ(view[1000], bytes[1000]) << "bytes before the cut are still there";
  EXPECT_EQ(source->CurrentSize(), uint64_t{1} << 20);
  EXPECT_EQ(source->Size(), uint64_t{8} << 20);
  std::vector<uint8_t> buffer(4096);
  uint32_t got = 99;
  EXPECT_TRUE(source->ReadAt(3 << 20, 4096, buffer.data(), ReadRule::kChunk, &got));
  EXPECT_EQ(got, 0u) << "the cut part reads as the end of the medium, not as zeros";
  EXPECT_TRUE(source->ReadAt((1 << 20) - 100, 4096, buffer.data(), ReadRule::kChunk, &got));
  EXPECT_EQ(got, 100u);
}

// A plain fault elsewhere in the process still ends it as before.
TEST(FileSectorSourceDeathTest, OtherBusErrorsStillEndTheProcess) {
  TempDir dir;
  ASSERT_TRUE(samples::WriteFile(dir.File("m.bin"), std::vector<uint8_t>(1 << 20, 1)));
  int error = 0;
  auto source = FileSectorSource::Open(dir.File("m.bin"), {}, &error);  // installs the handler
  ASSERT_TRUE(source);
  EXPECT_DEATH(raise(SIGBUS), "");
}

TEST(FileSectorSource, ImagesWithAnImpossibleSectorSizeAreRefusedWithTheReason) {
  struct Case {
    uint16_t sector_size;
    bool accepted;
  };
  for (const Case c : {Case{0, false}, Case{3, false}, Case{256, false}, Case{1000, false},
                       Case{65535, false}, Case{512, true}, Case{4096, true}, Case{32768, true}}) {
    SCOPED_TRACE(c.sector_size);
    TempDir dir;
    std::vector<uint8_t> bytes(65536, 0x5A);
    bytes.resize(bytes.size() + ImageTrailer::kSize);
    WriteImageTrailer({.data_size = 65536, .sector_size = c.sector_size}, bytes.data() + 65536);
    ASSERT_TRUE(samples::WriteFile(dir.File("x.img"), bytes));
    int error = 0;
    std::string reason;
    auto source = FileSectorSource::Open(dir.File("x.img"), {}, &error, &reason);
    EXPECT_EQ(source != nullptr, c.accepted);
    if (!c.accepted) {
      EXPECT_EQ(error, EINVAL);
      EXPECT_EQ(reason, "the image's sector size, " + std::to_string(c.sector_size) +
                            " bytes, is not a power of two from 512 to 32768");
    }
  }
}

TEST(FileSectorSource, ACutImageSaysHowMuchIsMissingAndScansWhatIsThere) {
  TempDir dir;
  std::vector<uint8_t> bytes(40000, 1);
  bytes.resize(bytes.size() + ImageTrailer::kSize);
  WriteImageTrailer({.data_size = 100000, .sector_size = 512}, bytes.data() + 40000);
  ASSERT_TRUE(samples::WriteFile(dir.File("cut.img"), bytes));
  int error = 0;
  auto source = FileSectorSource::Open(dir.File("cut.img"), {}, &error);
  ASSERT_TRUE(source);
  EXPECT_EQ(source->Size(), 40000u);
  EXPECT_EQ(source->MissingBytes(), 60000u);
}

}  // namespace
}  // namespace pictavo
