#include <gtest/gtest.h>

#include <string>

#include "platform/memory_source.h"
#include "results/scan_checkpoint.h"
#include "results/snapshot.h"
#include "samples/image_builder.h"
#include "samples/jpeg_sample.h"
#include "support/cli_run.h"

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

}  // namespace
}  // namespace pictavo
