#include "support/fault_fuse.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/sector_source.h"
#include "samples/image_builder.h"

namespace pictavo {
namespace {

using samples::TempDir;
using testing::FaultFuse;
using testing::LoopFile;

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 4096);
  return bytes;
}

TEST(FaultFuse, ServesTheBackingBytesAndFailsTheChosenRange) {
  TempDir dir;
  const auto bytes = Pattern(64 << 10);
  ASSERT_TRUE(samples::WriteFile(dir.File("backing"), bytes));
  FaultFuse fuse(dir.File("backing"));
  if (!fuse.ok()) GTEST_SKIP() << fuse.skip_reason();
  fuse.FailRange(8192, 8193);
  const int fd = open(fuse.path().c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  std::vector<uint8_t> got(4096);
  ASSERT_EQ(pread(fd, got.data(), 4096, 4096), 4096);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), bytes.begin() + 4096));
  errno = 0;
  EXPECT_EQ(pread(fd, got.data(), 4096, 8192), -1);
  EXPECT_EQ(errno, EIO);
  ASSERT_EQ(pread(fd, got.data(), 4096, 12288), 4096);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), bytes.begin() + 12288));
  EXPECT_GE(fuse.failed_reads(), 1u);
  close(fd);
}

TEST(FaultFuse, ShrinkingCutsTheServedFile) {
  TempDir dir;
  ASSERT_TRUE(samples::WriteFile(dir.File("backing"), Pattern(64 << 10)));
  FaultFuse fuse(dir.File("backing"));
  if (!fuse.ok()) GTEST_SKIP() << fuse.skip_reason();
  struct stat st {};
  ASSERT_EQ(stat(fuse.path().c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 64 << 10);
  fuse.Shrink(10000);
  ASSERT_EQ(stat(fuse.path().c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 10000);
}

TEST(FaultFuse, ALoopDeviceOverItFailsTheSameSectorsAsABlockDevice) {
  TempDir dir;
  const auto bytes = Pattern(1 << 20);
  ASSERT_TRUE(samples::WriteFile(dir.File("backing"), bytes));
  FaultFuse fuse(dir.File("backing"), {.direct_io = true});
  if (!fuse.ok()) GTEST_SKIP() << fuse.skip_reason();
  fuse.FailRange(65536 + 1024, 65536 + 1536);
  LoopFile loop(fuse.path(), /*direct_io=*/false);
  if (!loop.ok()) GTEST_SKIP() << loop.skip_reason();
  int error = 0;
  auto source = FileSectorSource::Open(loop.device(), {}, &error);
  ASSERT_TRUE(source) << error;
  EXPECT_EQ(source->kind(), SourceKind::kBlockDevice);
  EXPECT_EQ(source->Size(), bytes.size());
  std::vector<uint8_t> got(4096);
  EXPECT_FALSE(source->ReadAt(65536, 4096, got.data(), ReadRule::kChunk));
  EXPECT_EQ(source->last_error(), EIO);
  ASSERT_TRUE(source->ReadAt(0, 4096, got.data(), ReadRule::kChunk));
  EXPECT_TRUE(std::equal(got.begin(), got.end(), bytes.begin()));
}

}  // namespace
}  // namespace pictavo
