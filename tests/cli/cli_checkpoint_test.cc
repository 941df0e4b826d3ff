#include <gtest/gtest.h>

#include <string>

#include "filesystems/live_areas.h"
#include "platform/memory_source.h"
#include "results/scan_checkpoint.h"
#include "results/snapshot.h"
#include "samples/image_builder.h"
#include "samples/jpeg_sample.h"
#include "support/cli_run.h"
#include "support/fs_images.h"

namespace pictavo {
namespace {

using samples::EncodeJpeg;
using samples::ImageBuilder;
using samples::TempDir;
using testing::RunCli;

std::vector<uint8_t> Medium() {
  ImageBuilder builder(512, 8);
  for (uint32_t i = 0; builder.bytes().size() < (9u << 20); ++i) {
    builder.Place(EncodeJpeg({.width = 48, .height = 32, .seed = i + 1}));
    builder.Gap(300 + (i * 53) % 700);
  }
  std::vector<uint8_t> bytes = builder.bytes();
  bytes.resize(10u << 20, 0);
  return bytes;
}

class StopHalfway : public ScanObserver {
 public:
  explicit StopHalfway(std::atomic<bool>* stop) : stop_(stop) {}
  void OnProgress(uint32_t percent, uint64_t, uint64_t) override {
    if (percent >= 50) stop_->store(true);
  }

 private:
  std::atomic<bool>* stop_;
};

TEST(CliCheckpoint, ACheckpointedScanEndsAsASnapshotAndAResumedOneListsTheSame) {
  TempDir dir;
  const std::vector<uint8_t> medium = Medium();
  const std::string source = dir.File("card.bin");
  ASSERT_TRUE(samples::WriteFile(source, medium));
  const auto whole = RunCli("scan --format tsv " + source);
  ASSERT_EQ(whole.status, 0);

  // With a checkpoint: the same list, and a snapshot in the checkpoint's place at the end.
  const auto kept = RunCli("scan --format tsv --allow-same-filesystem --checkpoint " +
                           dir.File("a.dat") + " " + source);
  EXPECT_EQ(kept.status, 0);
  EXPECT_EQ(kept.out, whole.out);
  EXPECT_TRUE(CheckSnapshotFile(dir.File("a.dat")));
  EXPECT_FALSE(IsScanCheckpointFile(dir.File("a.dat")));

  // A checkpoint of a scan stopped halfway, resumed by the command line.
  ScanCheckpoint start;
  start.source_name = source;
  start.results.records.emplace_back();
  ScanResults first;
  std::atomic<bool> stop{false};
  StopHalfway stopper(&stop);
  {
    MemorySectorSource memory(medium, 512);
    CheckpointKeeper keeper(dir.File("b.dat"), start, first, &stopper, std::chrono::hours(1),
                            &stop);
    ASSERT_TRUE(ResumeScan(memory, start.selection, 0, 0, first, &keeper, &stop).stopped);
    int error = 0;
    ASSERT_TRUE(keeper.Save(&error));
  }
  ASSERT_TRUE(IsScanCheckpointFile(dir.File("b.dat")));
  const auto resumed = RunCli("scan --format tsv --resume " + dir.File("b.dat") + " " + source);
  EXPECT_EQ(resumed.status, 0);
  EXPECT_EQ(resumed.out, whole.out);
  EXPECT_TRUE(CheckSnapshotFile(dir.File("b.dat")));
  EXPECT_EQ(RunCli("snapshot show --format tsv " + dir.File("b.dat")).out,
            RunCli("snapshot show --format tsv " + dir.File("a.dat")).out);

  // Refusals: another source, --types with --resume, two of the three options at once.
  ASSERT_TRUE(samples::WriteFile(dir.File("other.bin"), std::vector<uint8_t>(1 << 20, 1)));
  EXPECT_EQ(RunCli("scan --resume " + dir.File("a.dat") + " " + source).status, 1);
  EXPECT_EQ(RunCli("scan --checkpoint " + dir.File("c.dat") + " --snapshot " + dir.File("d.dat") +
                   " " + source)
                .status,
            2);
}

// A FAT32 card of 40 MiB: three photos, a live file of 22 MiB, three more photos; the second and
// the fifth photo deleted, so that a scan of the free space finds one before its middle and one
// after.
class CliFreeSpaceCheckpoint : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<testing::TestFile> files = testing::SamplePhotos("DCIM/100TEST", 6);
    files.insert(files.begin() + 3,
                 testing::TestFile{"DCIM/FILLER.BIN", samples::RandomBytes(22 << 20, 5)});
    const std::string why = testing::MakeFatImage(
        image_, 40, files, {"DCIM/100TEST/IMG_0002.JPG", "DCIM/100TEST/IMG_0005.JPG"});
    if (!why.empty()) GTEST_SKIP() << why;
    whole_ = RunCli("scan --unallocated --format tsv " + image_);
    ASSERT_EQ(whole_.status, 0);
    ASSERT_EQ(std::count(whole_.out.begin(), whole_.out.end(), '\n'), 3) << whole_.out;
  }

  // A free-space scan of the card stopped halfway, its checkpoint kept at `path` as the command
  // line keeps it.
  void StopHalfwayInto(const std::string& path) {
    int error = 0;
    auto source = FileSectorSource::Open(image_, {}, &error);
    ASSERT_TRUE(source);
    const FreeSpacePlan plan = PlanFreeSpaceScan(*source);
    ASSERT_TRUE(plan.file_system_found);
    ScanCheckpoint start;
    start.source_name = image_;
    start.free_space = true;
    start.free_space_areas = DigestOfAreas(plan.live_areas);
    start.results.records.emplace_back();
    ScanOptions options;
    options.skipped = plan.live_areas;
    ScanResults first;
    std::atomic<bool> stop{false};
    StopHalfway stopper(&stop);
    CheckpointKeeper keeper(path, start, first, &stopper, std::chrono::hours(1), &stop);
    ASSERT_TRUE(ResumeScan(*source, options, 0, 0, first, &keeper, &stop).stopped);
    ASSERT_TRUE(keeper.Save(&error));
    ScanCheckpoint saved;
    std::string why;
    ASSERT_TRUE(ReadScanCheckpoint(path, &saved, &why)) << why;
    ASSERT_EQ(saved.results.found_count, 1u);
  }

  TempDir dir_;
  std::string image_ = dir_.File("card.img");
  testing::CliRun whole_;
};

TEST_F(CliFreeSpaceCheckpoint, AWholeRunWithACheckpointListsWhatAPlainOneDoes) {
  const auto kept =
      RunCli("scan --unallocated --format tsv --checkpoint " + dir_.File("a.dat") + " " + image_);
  EXPECT_EQ(kept.status, 0);
  EXPECT_EQ(kept.out, whole_.out);
  EXPECT_TRUE(CheckSnapshotFile(dir_.File("a.dat")));
}

TEST_F(CliFreeSpaceCheckpoint, AStoppedScanResumesOverTheFreeSpaceOnly) {
  const std::string path = dir_.File("b.dat");
  StopHalfwayInto(path);
  const std::vector<uint8_t> head = samples::ReadFile(path);
  EXPECT_EQ(std::string(head.begin(), head.begin() + 26), "pictavo scan checkpoint 2\n");
  // The checkpoint says the scan is of the free space: the plan is made again without asking.
  const auto run = RunCli("scan --format tsv --resume " + path + " " + image_);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, whole_.out);
  EXPECT_TRUE(CheckSnapshotFile(path));
  const std::string snapshot = dir_.File("whole.dat");
  ASSERT_EQ(RunCli("scan --unallocated --format tsv --snapshot " + snapshot + " " + image_).status,
            0);
  EXPECT_EQ(RunCli("snapshot show --format tsv " + path).out,
            RunCli("snapshot show --format tsv " + snapshot).out);

  // --unallocated may be given again with --resume.
  StopHalfwayInto(path + "2");
  const auto again = RunCli("scan --unallocated --format tsv --resume " + path + "2 " + image_);
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out, whole_.out);
}

TEST_F(CliFreeSpaceCheckpoint, AChangedOrUnreadableFileSystemStopsTheResume) {
  const std::vector<uint8_t> card = samples::ReadFile(image_);
  const struct {
    const char* what;
    std::string change;  // a shell command run on the card
    const char* says;
  } cases[] = {
      {"a live photo deleted",
       "MTOOLS_SKIP_CHECK=1 mdel -i " + image_ + " ::DCIM/100TEST/IMG_0003.JPG",
       "have changed since the scan began"},
      {"the boot sector wiped", "dd if=/dev/zero of=" + image_ + " bs=512 count=64 conv=notrunc",
       "can no longer be read"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(samples::WriteFile(image_, card));
    const std::string path = dir_.File("c.dat");
    std::remove(path.c_str());
    StopHalfwayInto(path);
    const std::vector<uint8_t> before = samples::ReadFile(path);
    ASSERT_TRUE(testing::Shell(c.change));
    const auto run = RunCli("scan --format tsv --resume " + path + " " + image_, true);
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
    EXPECT_EQ(samples::ReadFile(path), before) << "the checkpoint is left as it was";
  }
}

TEST_F(CliFreeSpaceCheckpoint, AWholeSourceCheckpointIsNotResumedAsAFreeSpaceOne) {
  ScanCheckpoint checkpoint;
  checkpoint.source_name = image_;
  checkpoint.source_size = 40 << 20;
  checkpoint.sector_size = 512;
  checkpoint.results.records.emplace_back();
  int error = 0;
  ASSERT_TRUE(WriteScanCheckpoint(dir_.File("d.dat"), checkpoint, &error));
  const auto run = RunCli("scan --unallocated --resume " + dir_.File("d.dat") + " " + image_, true);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.out.find("of a scan of the whole source"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace pictavo
